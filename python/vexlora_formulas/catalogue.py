"""Catalogue of widely used spectral indices: formula text in the formula language, the bands each
needs, default constants and the publication that defines it; the Catalogue mapping type."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from types import MappingProxyType

# Band names used by the catalogue (map your sensor's bands onto them).
BANDS = ("blue", "green", "red", "rededge", "nir", "swir1", "swir2")
# Further bands that indices of the community catalogue read, by centre wavelength: coastal aerosol
# (about 443 nm), green 1 (531 nm), yellow (605 nm), red edge 2 and 3 (740 and 783 nm; `rededge`
# is red edge 1, about 705 nm), the narrow NIR 2 (865 nm), water vapour (945 nm) and thermal bands.
MORE_BANDS = (
    "coastal", "green1", "yellow", "rededge2", "rededge3", "nir2", "watervapour", "thermal", "thermal1", "thermal2",
)

# Every formula is the published one, on physical values (reflectance); how the stored integers
# encode them (scale_factor, add_offset) is given when an index is computed, not written here.
# References end with the publication's DOI (or the report's stable address), each checked against
# a citation that names the publication; SIPI's, BSI's and NDTI's journals gave those papers none.


@dataclass(frozen=True, eq=False)
class SpectralIndex:
    """One catalogue entry; `bands` is the band order of the compiled program. `constants` holds the
    defaults; `required` names the constants that have none (each with what it is), which every call
    must give."""

    name: str
    long_name: str
    formula: str
    bands: tuple[str, ...]
    reference: str
    constants: Mapping[str, float] = field(default_factory=lambda: MappingProxyType({}))
    required: Mapping[str, str] = field(default_factory=lambda: MappingProxyType({}))


def _index(name: str, long_name: str, formula: str, bands: str, reference: str, **constants: float) -> SpectralIndex:
    return SpectralIndex(name, long_name, formula, tuple(bands.split()), reference, MappingProxyType(constants))


# Defines both chlorophyll indices, GCI and CIre.
_GITELSON_2003 = (
    "Gitelson, A. A., Gritz, Y., Merzlyak, M. N. (2003). Relationships between leaf chlorophyll content and "
    "spectral reflectance and algorithms for non-destructive chlorophyll assessment in higher plant leaves. "
    "Journal of Plant Physiology, 160(3), 271-282. https://doi.org/10.1078/0176-1617-00887"
)

_ENTRIES = (
    # Vegetation: normalized differences and ratios
    _index("NDVI", "Normalized Difference Vegetation Index", "(nir - red) / (nir + red)", "nir red",
           "Rouse, J. W., Haas, R. H., Schell, J. A., Deering, D. W. (1974). Monitoring vegetation systems in "
           "the Great Plains with ERTS. Third ERTS Symposium, NASA SP-351, vol. 1, 309-317. "
           "https://ntrs.nasa.gov/citations/19740022614"),
    _index("GNDVI", "Green Normalized Difference Vegetation Index", "(nir - green) / (nir + green)", "nir green",
           "Gitelson, A. A., Kaufman, Y. J., Merzlyak, M. N. (1996). Use of a green channel in remote sensing of "
           "global vegetation from EOS-MODIS. Remote Sensing of Environment, 58(3), 289-298. "
           "https://doi.org/10.1016/S0034-4257(96)00072-7"),
    _index("NDRE", "Normalized Difference Red Edge", "(nir - rededge) / (nir + rededge)", "nir rededge",
           "Gitelson, A., Merzlyak, M. N. (1994). Spectral reflectance changes associated with autumn senescence "
           "of Aesculus hippocastanum L. and Acer platanoides L. leaves. Spectral features and relation to "
           "chlorophyll estimation. Journal of Plant Physiology, 143(3), 286-292. "
           "https://doi.org/10.1016/S0176-1617(11)81633-0"),
    _index("WDRVI", "Wide Dynamic Range Vegetation Index", "(alpha * nir - red) / (alpha * nir + red)", "nir red",
           "Gitelson, A. A. (2004). Wide dynamic range vegetation index for remote quantification of biophysical "
           "characteristics of vegetation. Journal of Plant Physiology, 161(2), 165-173. "
           "https://doi.org/10.1078/0176-1617-01176", alpha=0.1),
    _index("IPVI", "Infrared Percentage Vegetation Index", "nir / (nir + red)", "nir red",
           "Crippen, R. E. (1990). Calculating the vegetation index faster. Remote Sensing of Environment, "
           "34(1), 71-73. https://doi.org/10.1016/0034-4257(90)90085-Z"),
    _index("SR", "Simple Ratio", "nir / red", "nir red",
           "Jordan, C. F. (1969). Derivation of leaf-area index from quality of light on the forest floor. "
           "Ecology, 50(4), 663-666. https://doi.org/10.2307/1936256"),
    _index("MSR", "Modified Simple Ratio", "(nir / red - 1) / sqrt(nir / red + 1)", "nir red",
           "Chen, J. M. (1996). Evaluation of vegetation indices and a modified simple ratio for boreal "
           "applications. Canadian Journal of Remote Sensing, 22(3), 229-242. "
           "https://doi.org/10.1080/07038992.1996.10855178"),
    _index("GCI", "Green Chlorophyll Index", "nir / green - 1", "nir green",
           _GITELSON_2003),
    _index("CIre", "Red-Edge Chlorophyll Index", "nir / rededge - 1", "nir rededge",
           _GITELSON_2003),
    _index("CVI", "Chlorophyll Vegetation Index", "nir * red / green ** 2", "nir red green",
           "Vincini, M., Frazzi, E., D'Alessio, P. (2008). A broad-band leaf chlorophyll vegetation index at the "
           "canopy scale. Precision Agriculture, 9(5), 303-319. https://doi.org/10.1007/s11119-008-9075-z"),
    _index("SIPI", "Structure Insensitive Pigment Index", "(nir - blue) / (nir - red)", "nir blue red",
           "Penuelas, J., Baret, F., Filella, I. (1995). Semi-empirical indices to assess carotenoids/chlorophyll a "
           "ratio from leaf spectral reflectance. Photosynthetica, 31(2), 221-230."),
    _index("ARVI", "Atmospherically Resistant Vegetation Index",
           "(nir - (red - gamma * (blue - red))) / (nir + (red - gamma * (blue - red)))", "nir red blue",
           "Kaufman, Y. J., Tanre, D. (1992). Atmospherically resistant vegetation index (ARVI) for EOS-MODIS. "
           "IEEE Transactions on Geoscience and Remote Sensing, 30(2), 261-270. "
           "https://doi.org/10.1109/36.134076", gamma=1.0),
    # Vegetation: soil- and atmosphere-adjusted
    _index("EVI", "Enhanced Vegetation Index", "G * ((nir - red) / (nir + C1 * red - C2 * blue + L))",
           "nir red blue",
           "Huete, A., Didan, K., Miura, T., Rodriguez, E. P., Gao, X., Ferreira, L. G. (2002). Overview of the "
           "radiometric and biophysical performance of the MODIS vegetation indices. Remote Sensing of "
           "Environment, 83(1-2), 195-213. "
           "https://doi.org/10.1016/S0034-4257(02)00096-2", G=2.5, C1=6.0, C2=7.5, L=1.0),
    _index("EVI2", "Two-band Enhanced Vegetation Index", "G * ((nir - red) / (nir + C * red + L))", "nir red",
           "Jiang, Z., Huete, A. R., Didan, K., Miura, T. (2008). Development of a two-band enhanced vegetation "
           "index without a blue band. Remote Sensing of Environment, 112(10), 3833-3845. "
           "https://doi.org/10.1016/j.rse.2008.06.006",
           G=2.5, C=2.4, L=1.0),
    _index("SAVI", "Soil-Adjusted Vegetation Index", "(1 + L) * ((nir - red) / (nir + red + L))", "nir red",
           "Huete, A. R. (1988). A soil-adjusted vegetation index (SAVI). Remote Sensing of Environment, 25(3), "
           "295-309. https://doi.org/10.1016/0034-4257(88)90106-X", L=0.5),
    _index("OSAVI", "Optimized Soil-Adjusted Vegetation Index", "(nir - red) / (nir + red + X)", "nir red",
           "Rondeaux, G., Steven, M., Baret, F. (1996). Optimization of soil-adjusted vegetation indices. Remote "
           "Sensing of Environment, 55(2), 95-107. https://doi.org/10.1016/0034-4257(95)00186-7", X=0.16),
    _index("MSAVI", "Modified Soil-Adjusted Vegetation Index (closed form, also MSAVI2)",
           "(2 * nir + 1 - sqrt((2 * nir + 1) ** 2 - 8 * (nir - red))) / 2", "nir red",
           "Qi, J., Chehbouni, A., Huete, A. R., Kerr, Y. H., Sorooshian, S. (1994). A modified soil adjusted "
           "vegetation index. Remote Sensing of Environment, 48(2), 119-126. "
           "https://doi.org/10.1016/0034-4257(94)90134-1"),
    _index("NLI", "Non-Linear Index", "(nir ** 2 - red) / (nir ** 2 + red)", "nir red",
           "Goel, N. S., Qin, W. (1994). Influences of canopy architecture on relationships between various "
           "vegetation indices and LAI and FPAR: a computer simulation. Remote Sensing Reviews, 10(4), 309-347. "
           "https://doi.org/10.1080/02757259409532252",),
    _index("RDVI", "Renormalized Difference Vegetation Index", "(nir - red) / sqrt(nir + red)", "nir red",
           "Roujean, J.-L., Breon, F.-M. (1995). Estimating PAR absorbed by vegetation from bidirectional "
           "reflectance measurements. Remote Sensing of Environment, 51(3), 375-384. "
           "https://doi.org/10.1016/0034-4257(94)00114-3"),
    _index("MCARI", "Modified Chlorophyll Absorption in Reflectance Index",
           "((rededge - red) - 0.2 * (rededge - green)) * (rededge / red)", "rededge red green",
           "Daughtry, C. S. T., Walthall, C. L., Kim, M. S., Brown de Colstoun, E., McMurtrey III, J. E. (2000). "
           "Estimating corn leaf chlorophyll concentration from leaf and canopy reflectance. Remote Sensing of "
           "Environment, 74(2), 229-239. https://doi.org/10.1016/S0034-4257(00)00113-9"),
    _index("TVI", "Triangular Vegetation Index", "0.5 * (120 * (nir - green) - 200 * (red - green))",
           "nir green red",
           "Broge, N. H., Leblanc, E. (2001). Comparing prediction power and stability of broadband and "
           "hyperspectral vegetation indices for estimation of green leaf area index and canopy chlorophyll "
           "density. Remote Sensing of Environment, 76(2), 156-172. https://doi.org/10.1016/S0034-4257(00)00197-8"),
    # Vegetation: visible bands only
    _index("VARI", "Visible Atmospherically Resistant Index", "(green - red) / (green + red - blue)", "green red blue",
           "Gitelson, A. A., Kaufman, Y. J., Stark, R., Rundquist, D. (2002). Novel algorithms for remote "
           "estimation of vegetation fraction. Remote Sensing of Environment, 80(1), 76-87. "
           "https://doi.org/10.1016/S0034-4257(01)00289-9"),
    _index("GRVI", "Green-Red Vegetation Index", "(green - red) / (green + red)", "green red",
           "Motohka, T., Nasahara, K. N., Oguma, H., Tsuchida, S. (2010). Applicability of green-red vegetation "
           "index for remote sensing of vegetation phenology. Remote Sensing, 2(10), 2369-2387. "
           "https://doi.org/10.3390/rs2102369"),
    _index("NGRDI", "Normalized Green-Red Difference Index", "(green - red) / (green + red)", "green red",
           "Tucker, C. J. (1979). Red and photographic infrared linear combinations for monitoring vegetation. "
           "Remote Sensing of Environment, 8(2), 127-150. https://doi.org/10.1016/0034-4257(79)90013-0"),
    _index("ExG", "Excess Green (chromatic coordinates)", "(2 * green - red - blue) / (red + green + blue)",
           "green red blue",
           "Woebbecke, D. M., Meyer, G. E., Von Bargen, K., Mortensen, D. A. (1995). Color indices for weed "
           "identification under various soil, residue, and lighting conditions. Transactions of the ASAE, "
           "38(1), 259-269. https://doi.org/10.13031/2013.27838"),
    _index("GLI", "Green Leaf Index", "(2 * green - red - blue) / (2 * green + red + blue)", "green red blue",
           "Louhaichi, M., Borman, M. M., Johnson, D. E. (2001). Spatially located platform and aerial photography "
           "for documentation of grazing impacts on wheat. Geocarto International, 16(1), 65-70. "
           "https://doi.org/10.1080/10106040108542184"),
    # Water, snow and moisture
    _index("NDWI", "Normalized Difference Water Index", "(green - nir) / (green + nir)", "green nir",
           "McFeeters, S. K. (1996). The use of the Normalized Difference Water Index (NDWI) in the delineation "
           "of open water features. International Journal of Remote Sensing, 17(7), 1425-1432. "
           "https://doi.org/10.1080/01431169608948714"),
    _index("MNDWI", "Modified Normalized Difference Water Index", "(green - swir1) / (green + swir1)", "green swir1",
           "Xu, H. (2006). Modification of normalised difference water index (NDWI) to enhance open water "
           "features in remotely sensed imagery. International Journal of Remote Sensing, 27(14), 3025-3033. "
           "https://doi.org/10.1080/01431160600589179"),
    _index("AWEInsh", "Automated Water Extraction Index (no shadow)",
           "4 * (green - swir1) - (0.25 * nir + 2.75 * swir2)", "green swir1 nir swir2",
           "Feyisa, G. L., Meilby, H., Fensholt, R., Proud, S. R. (2014). Automated Water Extraction Index: a new "
           "technique for surface water mapping using Landsat imagery. Remote Sensing of Environment, 140, 23-35. "
           "https://doi.org/10.1016/j.rse.2013.08.029",),
    _index("NDMI", "Normalized Difference Moisture Index", "(nir - swir1) / (nir + swir1)", "nir swir1",
           "Wilson, E. H., Sader, S. A. (2002). Detection of forest harvest type using multiple dates of Landsat "
           "TM imagery. Remote Sensing of Environment, 80(3), 385-396. "
           "https://doi.org/10.1016/S0034-4257(01)00318-2"),
    _index("NDSI", "Normalized Difference Snow Index", "(green - swir1) / (green + swir1)", "green swir1",
           "Hall, D. K., Riggs, G. A., Salomonson, V. V. (1995). Development of methods for mapping global snow "
           "cover using moderate resolution imaging spectroradiometer data. Remote Sensing of Environment, "
           "54(2), 127-140. https://doi.org/10.1016/0034-4257(95)00137-P"),
    # Fire and burn severity
    _index("NBR", "Normalized Burn Ratio", "(nir - swir2) / (nir + swir2)", "nir swir2",
           "Key, C. H., Benson, N. C. (2006). Landscape assessment: sampling and analysis methods. In FIREMON: Fire "
           "Effects Monitoring and Inventory System, USDA Forest Service General Technical Report RMRS-GTR-164-CD, "
           "LA-1-51. Report: https://doi.org/10.2737/RMRS-GTR-164"),
    _index("NBR2", "Normalized Burn Ratio 2", "(swir1 - swir2) / (swir1 + swir2)", "swir1 swir2",
           "U.S. Geological Survey (2017). Landsat Surface Reflectance-Derived Spectral Indices Product Guide. "
           "USGS Earth Resources Observation and Science Center, Sioux Falls. The index: "
           "https://www.usgs.gov/core-science-systems/nli/landsat/landsat-normalized-burn-ratio-2"),
    _index("BAI", "Burned Area Index", "1 / ((0.1 - red) ** 2 + (0.06 - nir) ** 2)",
           "red nir",
           "Chuvieco, E., Martin, M. P., Palacios, A. (2002). Assessment of different spectral indices in the "
           "red-near-infrared spectral domain for burned land discrimination. International Journal of Remote "
           "Sensing, 23(23), 5103-5110. https://doi.org/10.1080/01431160210153129"),
    # Soil and built-up
    _index("NDBI", "Normalized Difference Built-up Index", "(swir1 - nir) / (swir1 + nir)", "swir1 nir",
           "Zha, Y., Gao, J., Ni, S. (2003). Use of normalized difference built-up index in automatically mapping "
           "urban areas from TM imagery. International Journal of Remote Sensing, 24(3), 583-594. "
           "https://doi.org/10.1080/01431160304987"),
    _index("BSI", "Bare Soil Index", "((swir1 + red) - (nir + blue)) / ((swir1 + red) + (nir + blue))",
           "swir1 red nir blue",
           "Rikimaru, A., Roy, P. S., Miyatake, S. (2002). Tropical forest cover density mapping. Tropical "
           "Ecology, 43(1), 39-47."),
    _index("NDTI", "Normalized Difference Tillage Index", "(swir1 - swir2) / (swir1 + swir2)", "swir1 swir2",
           "Van Deventer, A. P., Ward, A. D., Gowda, P. H., Lyon, J. G. (1997). Using Thematic Mapper data to "
           "identify contrasting soil plains and tillage practices. Photogrammetric Engineering and Remote "
           "Sensing, 63(1), 87-93."),
)

class Catalogue(Mapping[str, SpectralIndex]):
    """A read-only mapping from index name to SpectralIndex, looked up exactly; `lookup` also finds a
    name in other letter case where only one entry has it. `unservable` maps the names of entries that
    cannot be computed from uint16 bands (radar, kernel indices) to the reason."""

    def __init__(self, entries: Iterable[SpectralIndex], unservable: Mapping[str, str] | None = None) -> None:
        self._entries = {entry.name: entry for entry in entries}
        self.unservable: Mapping[str, str] = MappingProxyType(dict(unservable or {}))
        folded: dict[str, list[str]] = {}
        for name in self._entries:
            folded.setdefault(name.casefold(), []).append(name)
        self._folded = folded

    def __getitem__(self, name: str) -> SpectralIndex:
        return self._entries[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def __repr__(self) -> str:
        return f"<Catalogue of {len(self)} indices, {len(self.unservable)} unservable>"

    def lookup(self, name: str) -> SpectralIndex:
        """The entry called `name`, else the one entry whose name equals it ignoring letter case.
        KeyError if there is none, or if several differ only in case (give the name exactly)."""
        if not isinstance(name, str):
            raise KeyError(name)
        if name in self._entries:
            return self._entries[name]
        matches = self._folded.get(name.casefold(), [])
        if len(matches) == 1:
            return self._entries[matches[0]]
        if matches:
            raise KeyError(f"{name!r} matches {' and '.join(matches)}, which differ only in letter case: give one exactly")
        if name in self.unservable:
            raise KeyError(f"{name!r} cannot be computed here: {self.unservable[name]}")
        raise KeyError(name)


CATALOGUE: Catalogue = Catalogue(_ENTRIES)


def get_index(name: str) -> SpectralIndex:
    """The catalogue entry called `name` (letter case ignored, as no two names differ only in it);
    KeyError if there is none."""
    return CATALOGUE.lookup(name)
