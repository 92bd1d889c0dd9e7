"""The community catalogue (Awesome Spectral Indices): every index it holds that the package can serve,
from DN with an encoding, against spyndex's own float64 evaluation on reflectance; the loader on a
small file of its own; names shared with the curated catalogue."""

import json

import numpy as np
import pytest

from conftest import assert_bits_equal
from vexlora_formulas import CATALOGUE, COMMUNITY_BANDS, compute_index, get_index, load_catalogue

S2 = {"scale_factor": 1e-4, "add_offset": -0.1}
# Landsat Collection 2 surface temperature: kelvin = DN x 0.00341802 + 149.0
THERMAL = {"scale_factor": 0.00341802, "add_offset": 149.0}
WAVELENGTHS = {"lambdaG": 560.0, "lambdaR": 665.0, "lambdaN": 842.0, "lambdaN2": 865.0, "lambdaS1": 1610.0,
               "lambdaS2": 2190.0, "PAR": 1.3}


def test_every_servable_index_matches_spyndex_in_float64():
    spyndex = pytest.importorskip("spyndex")
    catalogue = load_catalogue()
    assert len(catalogue) + len(catalogue.unservable) == len(spyndex.indices) and len(catalogue) > 250
    assert all(spyndex.indices[name].application_domain in ("radar", "kernel") for name in catalogue.unservable)
    rng = np.random.default_rng(18)
    dn = {band: rng.integers(1100, 7000, (48, 64), dtype=np.uint16) for band in COMMUNITY_BANDS.values()}
    for band in ("thermal", "thermal1", "thermal2"):
        dn[band] = rng.integers(40000, 50000, (48, 64), dtype=np.uint16)  # 286 to 320 K
    for band in dn.values():
        band[0, :5] = 0  # nodata
    encoding = {what: {b: (THERMAL if b.startswith("thermal") else S2)[what] for b in dn} for what in S2}
    physical = {b: dn[b] * encoding["scale_factor"][b] + encoding["add_offset"][b] for b in dn}
    symbol = {name: sym for sym, name in COMMUNITY_BANDS.items()}
    failures, ill_conditioned, pixels = [], {}, (dn["red"].shape[0] - 1) * dn["red"].shape[1]
    for name, entry in catalogue.items():
        given = {k: v for k, v in WAVELENGTHS.items() if k in entry.required}
        used = {what: {b: encoding[what][b] for b in entry.bands} for what in encoding}
        got = compute_index(entry, constants=given, nodata=0, **used, **{b: dn[b] for b in entry.bands})
        params = {**entry.constants, **given, **{symbol[b]: physical[b] for b in entry.bands}}
        with np.errstate(all="ignore"):
            expected = np.broadcast_to(spyndex.computeIndex(name, params=params), got.shape)
            error = np.abs(got - expected) / np.abs(expected)
        error[expected == 0] = np.abs(got[expected == 0])
        error[np.isnan(got) & np.isnan(expected)] = 0  # NaN where the formula is NaN (a negative base's root)
        error = np.where(np.isnan(error), np.inf, error)[1:]
        if not np.isnan(got[0, :5]).all() or np.median(error) > 1e-5:
            failures.append((name, float(np.median(error))))
        if (error > 1e-4).any():  # near a zero of the index or of a divisor, where E or float32 tells
            ill_conditioned[name] = int((error > 1e-4).sum())
    assert not failures
    assert sum(ill_conditioned.values()) < 1e-3 * len(catalogue) * pixels, ill_conditioned


def _write_catalogue(folder):
    def index(formula, *bands):
        return {"formula": formula, "bands": list(bands), "long_name": formula, "reference": "https://example.org"}

    indices = {
        "RE2VI": index("(RE2 - R) / (RE2 + R + L) * k", "RE2", "R", "L", "k"),
        "NIR2R": index("N2 / R", "N2", "R"),
        "PARX": index("N * PAR", "N", "PAR"),
        "DPOL": index("VV / VH", "VV", "VH"),
        "kX": index("kNN - kNR", "kNN", "kNR"),
        "ODD": index("Q9 + N", "Q9", "N"),
        "BROKEN": index("(N - R", "N", "R"),
        "Ab": index("B", "B"), "AB": index("2 * B", "B"),
    }
    constants = {"L": {"default": 0.5, "description": "soil"}, "k": {"default": 2, "description": ""},
                 "PAR": {"default": None, "description": "Photosynthetically Active Radiation"}}
    (folder / "spectral-indices-dict.json").write_text(json.dumps({"SpectralIndices": indices}))
    (folder / "constants.json").write_text(json.dumps(constants))
    return indices, constants


def test_loader_on_a_small_file(tmp_path, rng):
    indices, constants = _write_catalogue(tmp_path)
    catalogue = load_catalogue(tmp_path / "spectral-indices-dict.json")
    assert sorted(catalogue) == ["AB", "Ab", "NIR2R", "PARX", "RE2VI"]
    assert dict(catalogue.unservable) == {
        "DPOL": "it reads radar backscatter (VV), which is not stored as uint16 DN with a linear encoding",
        "kX": "it reads the kernel value kNN, a function of two bands rather than a band",
        "ODD": "it reads 'Q9', which is neither a band known here nor a constant with a record",
        "BROKEN": "its formula does not compile here: unclosed '(' at column 1"}
    entry = catalogue["RE2VI"]
    assert (entry.formula, entry.bands, dict(entry.constants)) == (
        "(rededge2 - red) / (rededge2 + red + L) * k", ("rededge2", "red"), {"L": 0.5, "k": 2.0})
    for other in (load_catalogue(dict(SpectralIndices=indices), constants=constants), load_catalogue(tmp_path)):
        same = other["RE2VI"]
        assert (same.formula, same.bands, dict(same.constants)) == (entry.formula, entry.bands, dict(entry.constants))
        assert set(other) == set(catalogue) and set(other.unservable) == set(catalogue.unservable)
    assert dict(load_catalogue(indices)["RE2VI"].required) == {"L": "", "k": ""}  # no constants file: no defaults
    assert catalogue.lookup("re2vi") is entry and catalogue.lookup("AB").formula == "2 * blue"
    with pytest.raises(KeyError, match="'ab' matches Ab and AB, which differ only in letter case"):
        catalogue.lookup("ab")
    with pytest.raises(KeyError, match="'kX' cannot be computed here: it reads the kernel value"):
        catalogue.lookup("kX")

    b06, b04, b08 = (rng.integers(1000, 9000, (5, 7), dtype=np.uint16) for _ in range(3))
    direct = compute_index(entry, rededge2=b06, red=b04, **S2)
    assert_bits_equal(compute_index(entry, sensor="sentinel2_l2a", B06=b06, B04=b04), direct)
    # Landsat's one NIR is both nir and the narrow nir2; Sentinel-2's B8A is nir2 alone
    assert_bits_equal(compute_index(catalogue["NIR2R"], sensor="landsat_c2_l2", SR_B5=b08, SR_B4=b04),
                      compute_index(catalogue["NIR2R"], nir2=b08, red=b04, scale_factor=2.75e-5, add_offset=-0.2,
                                    nodata=0))
    with pytest.raises(TypeError) as caught:
        compute_index(catalogue["PARX"], nir=b08, **S2)
    assert str(caught.value) == ("PARX needs constants= for 'PAR' (Photosynthetically Active Radiation): its "
                                 "catalogue gives no default")
    par = compute_index(catalogue["PARX"], constants={"PAR": 3.0}, nir=b08, **S2)
    np.testing.assert_allclose(par, (b08 * 1e-4 - 0.1) * 3, rtol=1e-6)


def test_curated_names_stay_the_default():
    spyndex = pytest.importorskip("spyndex")
    community = load_catalogue()
    green, red, nir = (np.full((1, 1), v, np.uint16) for v in (2200, 1800, 5000))  # 0.12, 0.08, 0.4
    assert get_index("GRVI") is CATALOGUE["GRVI"] and get_index("cire") is CATALOGUE["CIre"]
    motohka = compute_index("GRVI", green=green, red=red, nir=nir, **S2)
    assert motohka[0, 0] == pytest.approx(0.04 / 0.2, rel=1e-6)
    assert compute_index(community["GRVI"], green=green, nir=nir, **S2)[0, 0] == pytest.approx(0.4 / 0.12, rel=1e-6)
    assert community["SAVI"].constants["L"] == spyndex.constants.L.default != CATALOGUE["SAVI"].constants["L"]
