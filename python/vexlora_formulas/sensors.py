"""Sensor presets: the band names, stored type, encoding and nodata of common surface-reflectance
products, so that product band names may be used as keywords and the encoding need not be typed."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from types import MappingProxyType


@dataclass(frozen=True)
class Sensor:
    """One product: `bands` maps its band names to the catalogue band names each stands for (none,
    one, or two where one product band serves two catalogue bands, such as Landsat's NIR).

    Physical value = stored value x scale_factor + add_offset; `nodata` is the stored fill value.
    """

    name: str
    long_name: str
    bands: Mapping[str, tuple[str, ...]]
    scale_factor: float
    add_offset: float
    nodata: int
    dtype: str
    reference: str


def _bands(pairs: str) -> Mapping[str, tuple[str, ...]]:
    """"B05=nir,nir2 B09=-" as {"B05": ("nir", "nir2"), "B09": ()}."""
    return MappingProxyType({k: tuple(v.split(",")) if v != "-" else () for k, v in (p.split("=") for p in pairs.split())})


# Sentinel-2 MSI: B01 coastal aerosol (443 nm), B05 to B07 red edge (705, 740, 783 nm), B08 NIR
# (842 nm), B8A narrow NIR (865 nm), B09 water vapour (945 nm). Landsat 8/9 OLI: band 1 coastal
# aerosol (0.43-0.45 um), band 5 NIR (0.85-0.88 um), the narrow NIR that the community catalogue
# calls N2 and also serves its N. HLS S30 takes B8A as the NIR of L30's B05 and keeps B08 and the red
# edge as MSI measures them; its B09 and B10 and L30's thermal bands are not surface reflectance.
# Bands that are not reflectance (QA, Fmask, surface temperature) are named so that a product's
# whole set of files can be passed as keywords; no index reads them.
_S2 = ("B01=coastal B02=blue B03=green B04=red B05=rededge B06=rededge2 B07=rededge3 B08=nir B8A=nir2 "
       "B09=watervapour B11=swir1 B12=swir2")
_S2_DOC = (
    "ESA, Sentinel-2 Products Specification Document (S2-PDGS-TAS-DI-PSD), and ESA's notes on processing "
    "baseline 04.00 (from 25 January 2022): L2A reflectance = (DN + BOA_ADD_OFFSET) / QUANTIFICATION_VALUE, "
    "BOA_ADD_OFFSET and QUANTIFICATION_VALUE per band in MTD_MSIL2A.xml; read the baseline from the "
    "product's metadata, not from the acquisition date."
)
_HLS_DOC = "NASA LP DAAC, Harmonized Landsat Sentinel-2 (HLS) Product User Guide, version 2.0."

SENSORS: Mapping[str, Sensor] = MappingProxyType({
    sensor.name: sensor
    for sensor in (
        Sensor("sentinel2_l2a", "Sentinel-2 MSI Level-2A, processing baseline 04.00 and later", _bands(_S2),
               1e-4, -0.1, 0, "uint16", _S2_DOC),
        Sensor("sentinel2_l2a_pre04", "Sentinel-2 MSI Level-2A, processing baselines before 04.00", _bands(_S2),
               1e-4, 0.0, 0, "uint16", _S2_DOC),
        Sensor("landsat_c2_l2", "Landsat 8/9 OLI Collection 2 Level-2 surface reflectance",
               _bands("SR_B1=coastal SR_B2=blue SR_B3=green SR_B4=red SR_B5=nir,nir2 SR_B6=swir1 SR_B7=swir2 "
                      "SR_QA_AEROSOL=- ST_B10=- ST_ATRAN=- ST_CDIST=- ST_DRAD=- ST_EMIS=- ST_EMSD=- ST_QA=- "
                      "ST_TRAD=- ST_URAD=- QA_PIXEL=- QA_RADSAT=-"),
               2.75e-5, -0.2, 0, "uint16",
               "USGS, Landsat 8-9 Collection 2 (C2) Level 2 Science Product (L2SP) Guide, LSDS-1619."),
        Sensor("hls_s30", "HLS v2.0 Sentinel-2 surface reflectance (HLSS30)",
               _bands("B01=coastal B02=blue B03=green B04=red B05=rededge B06=rededge2 B07=rededge3 B08=- "
                      "B8A=nir,nir2 B09=- B10=- B11=swir1 B12=swir2 Fmask=-"), 1e-4, 0.0, -9999, "int16", _HLS_DOC),
        Sensor("hls_l30", "HLS v2.0 Landsat 8/9 surface reflectance (HLSL30)",
               _bands("B01=coastal B02=blue B03=green B04=red B05=nir,nir2 B06=swir1 B07=swir2 B09=- B10=- B11=- "
                      "Fmask=-"), 1e-4, 0.0, -9999,
               "int16", _HLS_DOC),
    )
})


def get_sensor(name: str | Sensor) -> Sensor:
    """The preset called `name` (KeyError naming the presets if there is none)."""
    if isinstance(name, Sensor):
        return name
    try:
        return SENSORS[name]
    except (KeyError, TypeError):
        raise KeyError(f"unknown sensor {name!r}; presets: {', '.join(SENSORS)}") from None
