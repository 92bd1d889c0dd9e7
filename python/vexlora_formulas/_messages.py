"""Every message that compute_index and compute_formula raise about their arguments, defined once,
in the user's words: which argument, what was expected, what was given and, where it helps, why."""

from __future__ import annotations

UNEXPECTED_KEYWORD = "{call}() got an unexpected keyword argument {keyword!r}: it is neither an option nor a band name ({names})"
NOT_AN_ARRAY = "band {band!r} must be a 2-D uint16 array (NumPy, dask or xarray), got {type}"
BAND_DTYPE = "band {band!r} must hold uint16 DN, got dtype {dtype}{hint}"
HINT_FLOAT = (
    ": float values such as reflectance cannot be read as stored integers; pass the stored DN (open the file "
    "with mask_and_scale=False) and give scale_factor= and add_offset="
)
HINT_SIGNED = ": signed integers other than int16 are not supported; convert to uint16 DN"
HINT_BYTE_ORDER = ": byte order is not native; pass band.astype('=u2')"
BAND_NDIM = "band {band!r} must be 2-D (rows, columns), got {ndim}-D with shape {shape}"
BAND_SHAPE = "band {band!r} has shape {shape}, expected {expected} like {first!r}{hint}"
HINT_RESOLUTION = (
    ": bands at different resolutions (such as Sentinel-2's 20 m B05, B8A, B11 and B12 beside the 10 m "
    "B02, B03, B04 and B08) must be resampled to one grid first"
)
MISSING_BANDS = "{call}({label!r}) missing band arrays: {missing}"
NEEDS_ENCODING = (
    "{label} depends on the bands' units: give their encoding as scale_factor= and add_offset= "
    "(physical value = DN x scale_factor + add_offset; Sentinel-2 L2A from baseline 04.00: scale_factor=1e-4, "
    "add_offset=-0.1), or sensor=, or scale_factor=1 if the bands hold the physical values"
)
UNKNOWN_CONSTANT = "{label} has no constant {name!r} (its constants: {known})"
CONSTANT_WITHOUT_DEFAULT = "{label} needs constants= for {what}: its catalogue gives no default"
CONSTANTS_TYPE = "constants must be a mapping of names to numbers, not {type}"
MASKED = (
    "band {band!r} is a masked array; pass its data with nodata= (for example band.filled(0) with nodata=0) "
    "so that masked pixels give NaN"
)
OUT_DTYPE = "out must be a 2-D float32 NumPy array, got {what}"
OUT_SHAPE = "out has shape {shape}, expected the bands' shape {expected}"
OUT_READ_ONLY = "out is read-only"
OUT_OVERLAP = "out shares memory with band {band!r}"
OUT_WITH_DASK = "out= cannot be used with dask-backed bands: the result is computed lazily"
NO_BANDS = "compute_formula({formula!r}) names no band: there is nothing to compute per pixel"
BAND_TWICE = "{call}() got band {name!r} twice, as {first!r} and as {second!r}"
PARTLY_ENCODED = (
    "{label}: the encoding of some bands is known (from the call, a sensor or their attributes) but not that of "
    "{unknown}; give scale_factor= and add_offset= for every band (numbers, or mappings by band)"
)
NOT_ON_GRID = (
    "band {band!r} is not on the grid of {first!r} (dims {dims} against {expected}, or other coordinates): "
    "align or reproject it first (xarray.align, rioxarray's reproject_match)"
)
OUT_MASKED = "out must be a plain NumPy array, not a masked array: its mask would hide the result"
IN_USE = (
    "an array of this call is in use by another thread's call, and one of the two calls writes it: wait for "
    "that call or pass a copy"
)
