"""Domains: parsing, splitting couplings, the frame rotation between two
tensors, and the two real-data checks (lysozyme's halves agree; a known
rotation of half of ubiquitin is recovered)."""

from __future__ import annotations

import dataclasses
import json
import math

import numpy as np
import pytest
from kelfit_tools import Coupling
from kelfit_tools.domains import (
    compare_domains,
    domain_media,
    in_domain,
    parse_domain,
)
from kelfit_tools.prepare import Medium
from tools_support import png_size, run_kelfit, shared_data


def rodrigues(axis, degrees: float) -> np.ndarray:
    """Rotation matrix about ``axis`` by ``degrees`` (right-handed), built
    from the axis-angle formula, not from the package."""
    k = np.asarray(axis, dtype=float)
    k = k / np.linalg.norm(k)
    cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    t = math.radians(degrees)
    return np.eye(3) + math.sin(t) * cross + (1 - math.cos(t)) * cross @ cross


def residual_angle(q: np.ndarray, expected: np.ndarray) -> float:
    """Angle (degrees) of the rotation taking ``expected`` to ``q``."""
    c = (np.trace(expected.T @ q) - 1.0) / 2.0
    return math.degrees(math.acos(min(1.0, max(-1.0, c))))


def nh(residue: int, chain: str | None = None) -> Coupling:
    return Coupling(residue, "N", residue, "H", 1.0, chain_i=chain, chain_j=chain)


class TestParsingAndSplitting:
    def test_ranges_with_and_without_chains(self) -> None:
        d = parse_domain("C=A/80-152,B/5")
        assert d.name == "C"
        assert in_domain(nh(100, "A"), d)
        assert not in_domain(nh(100, "B"), d)
        assert in_domain(nh(5, "B"), d)
        assert not in_domain(nh(6, "B"), d)
        # A coupling that names no chain matches ranges of any chain.
        assert in_domain(nh(80), d)

    @pytest.mark.parametrize("text", ["1-75", "N=", "=1-5", "N=5-1", "N=a-b"])
    def test_refuses_what_is_not_a_domain(self, text: str) -> None:
        with pytest.raises(ValueError, match="NAME=RANGES"):
            parse_domain(text)

    def test_a_coupling_across_the_boundary_belongs_to_neither(self) -> None:
        across = Coupling(60, "C", 61, "N", 1.0)
        media = [Medium("m", [nh(10), across, nh(70)], "m.tab")]
        parts = domain_media(media, [parse_domain("N=1-60"), parse_domain("C=61-129")])
        assert [(p.name, len(p.couplings)) for p, _, _ in parts] == [
            ("m [N]", 1),
            ("m [C]", 1),
        ]
        assert all(across not in p.couplings for p, _, _ in parts)

    def test_overlapping_or_empty_domains_are_refused(self) -> None:
        media = [Medium("m", [nh(10), nh(70)], "m.tab")]
        with pytest.raises(ValueError, match="overlap"):
            domain_media(media, [parse_domain("A=1-50"), parse_domain("B=10-80")])
        with pytest.raises(ValueError, match="holds no coupling"):
            domain_media(media, [parse_domain("A=1-50"), parse_domain("B=200-300")])


class TestFrameRotation:
    """Domain 2 rotated by R sees the tensor R A R^T: the rotation that
    superposes its frame on domain 1's is R^T, whatever the axes' signs."""

    @pytest.mark.parametrize("seed", range(5))
    def test_recovers_a_known_rotation(self, seed: int) -> None:
        rng = np.random.default_rng(seed)
        # A rhombic tensor in a random frame.
        frame = rodrigues(rng.normal(size=3), rng.uniform(0, 180))
        a = frame.T @ np.diag([-3.0, -9.0, 12.0]) @ frame
        r = rodrigues(rng.normal(size=3), rng.uniform(5, 80))
        got = compare_domains(a, r @ a @ r.T, names=("N", "C"))
        assert np.allclose(got.rotation.matrix, r.T, atol=1e-9)
        expected_angle = math.degrees(math.acos((np.trace(r) - 1) / 2))
        assert got.rotation.angle_deg == pytest.approx(expected_angle, abs=1e-6)
        # The axis: R^T turns about R's axis the other way.
        assert np.allclose(got.rotation.matrix @ np.array(got.rotation.axis),
                           got.rotation.axis, atol=1e-9)  # fmt: skip
        assert got.da_ratio == pytest.approx(1.0)
        assert got.r_ratio == pytest.approx(1.0)
        assert got.scalar_product == pytest.approx(
            np.sum(a * (r @ a @ r.T)) / np.sum(a * a)
        )

    def test_euler_angles_compose_the_rotation(self) -> None:
        a = np.diag([-2.0, -4.0, 6.0])
        r = rodrigues([0.3, -1.0, 0.4], 40.0)
        got = compare_domains(a, r @ a @ r.T)
        a1, a2, a3 = (math.radians(v) for v in got.rotation.euler_deg)

        def rz(t: float) -> np.ndarray:
            return np.array(
                [[math.cos(t), -math.sin(t), 0], [math.sin(t), math.cos(t), 0],
                 [0, 0, 1]]
            )  # fmt: skip

        def rx(t: float) -> np.ndarray:
            return np.array(
                [[1, 0, 0], [0, math.cos(t), -math.sin(t)],
                 [0, math.sin(t), math.cos(t)]]
            )  # fmt: skip

        assert np.allclose(rz(a1) @ rx(a2) @ rz(a3), got.rotation.matrix, atol=1e-9)

    def test_refit_spreads_pair_refit_k_with_refit_k(self) -> None:
        a = np.diag([-2.0, -4.0, 6.0])
        tilts = [rodrigues([1, 0, 0], d) for d in (0.0, 2.0, 4.0)]
        first = np.array([a] * 3)
        second = np.array([t @ a @ t.T for t in tilts])
        got = compare_domains(a, a, refits=(first, second))
        assert got.refits == 3
        # Rotations of 0, 2 and 4 degrees: sd 2, rms spread from identity.
        assert got.rotation_angle_sd == pytest.approx(2.0, abs=1e-6)
        assert got.rotation_spread_deg == pytest.approx(
            math.sqrt((0 + 4 + 16) / 3), abs=1e-6
        )
        with pytest.raises(ValueError, match="K x 3 x 3"):
            compare_domains(a, a, refits=(first, second[:2]))

    def test_ratios_are_the_second_over_the_first(self) -> None:
        a = np.diag([-2.0, -4.0, 6.0])  # Da 3, R 1/3
        b = np.diag([-1.0, -5.0, 6.0])  # Da 3, R 2/3
        got = compare_domains(a, 2.0 * b)
        assert (got.da_ratio, got.r_ratio) == pytest.approx((2.0, 2.0))

    @pytest.mark.parametrize("order", [(0, 1), (1, 0)])
    def test_gdo_ratio_is_the_lower_over_the_higher(self, order: tuple) -> None:
        a = np.diag([-2.0, -4.0, 6.0])  # Da 3, R 1/3
        turn = rodrigues([1.0, 2.0, 0.5], 40.0)
        moving = 0.8 * turn @ a @ turn.T  # turned and less ordered
        names, tensors = ("N", "C"), (a, moving)
        pick = [order[0], order[1]]
        # Refits whose lower degree is 0.6, 0.8 and 1.0 of the higher.
        refits = tuple(
            np.array([a] * 3) if k == 0 else np.array([f / 0.8 * moving
                                                       for f in (0.6, 0.8, 1.0)])
            for k in pick
        )  # fmt: skip
        got = compare_domains(*(tensors[k] for k in pick),
                              names=(names[pick[0]], names[pick[1]]),
                              refits=refits)  # fmt: skip
        assert got.gdo_lower == "C" and got.gdo_higher == "N"
        assert got.gdo_ratio == pytest.approx(0.8, rel=1e-12)
        assert got.gdo_ratio_sd == pytest.approx(0.2, rel=1e-9)
        assert "consistent with a rigid" in got.gdo_meaning
        tight = dataclasses.replace(got, gdo_ratio_sd=0.05)
        assert (
            "motion of C " in tight.gdo_meaning and "relative to N" in tight.gdo_meaning
        )

    def test_euler_spreads_are_taken_on_the_circle(self) -> None:
        # Refit k's rotation is Rz(d_k) Rx(30): its first Euler angle is d_k,
        # 359, 1, 358 and 2 degrees, which spread as -1, 1, -2, 2 do.
        a = np.diag([-2.0, -4.0, 6.0])
        turns = [rodrigues([0, 0, 1], d) @ rodrigues([1, 0, 0], 30.0)
                 for d in (-1.0, 1.0, -2.0, 2.0)]  # fmt: skip
        second = np.array([t.T @ a @ t for t in turns])
        got = compare_domains(a, second[0], refits=(np.array([a] * 4), second))
        assert got.euler_sd_deg is not None
        assert got.euler_sd_deg[0] == pytest.approx(math.sqrt(10 / 3), abs=1e-6)
        assert got.euler_sd_deg[1:] == pytest.approx((0.0, 0.0), abs=1e-6)


def _pair(payload: dict) -> dict:
    pairs = payload["domains"]["pairs"]
    assert len(pairs) == 1
    return pairs[0]


def test_lysozyme_halves_agree_within_their_errors(tmp_path) -> None:
    """One rigid molecule: the tensors of its two halves are the same."""
    structure = shared_data("hewl", "1e8l-model-1.pdb")
    couplings = shared_data("hewl", "couplings.tab")
    done = run_kelfit(
        "fit", "--structure", structure, "--couplings", couplings, "-q",
        "--domain", "N=1-60", "--domain", "C=61-129",
        "--errors", "100", "--seed", "4", "--json", "--plot", tmp_path / "l.png",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    # The domain figure beside the media's figures, which show the sky map
    # of their refits beneath the fit.
    assert png_size(tmp_path / "l-domains.png") == (1100, 550)
    assert png_size(tmp_path / "l-1.png") == (1650, 1230)
    p = _pair(json.loads(done.stdout))
    e = p["errors"]
    assert e["refits"] == 100
    assert p["rotation"]["angle_deg"] <= 3 * e["rotation_spread_deg"]
    assert abs(p["da_ratio"] - 1) <= 3 * e["da_ratio_sd"]
    assert abs(p["r_ratio"] - 1) <= 3 * e["r_ratio_sd"]
    for k in "xyz":
        assert p["axis_angles_deg"][k] <= 3 * e["axis_angles_sd_deg"][k]
    assert 1 - p["scalar_product"] <= 3 * e["scalar_product_sd"]
    assert 0 < 1 - p["gdo_ratio"] <= 3 * e["gdo_ratio_sd"]


def test_ubiquitin_half_rotated_by_a_known_rotation(tmp_path) -> None:
    """Residues 36 on of ubiquitin turned 30 degrees about their centre:
    the reported rotation of that domain undoes it, within its error."""
    gemmi = pytest.importorskip("gemmi")
    source = shared_data("ubiquitin", "1d3z-model-1.pdb")
    couplings = shared_data("ubiquitin", "couplings.tab")
    turn = rodrigues([1.0, 2.0, -1.0], 30.0)
    structure = gemmi.read_structure(str(source))
    moved = [
        atom
        for chain in structure[0]
        for residue in chain
        if residue.seqid.num >= 36
        for atom in residue
    ]
    centre = np.mean([[a.pos.x, a.pos.y, a.pos.z] for a in moved], axis=0)
    for atom in moved:
        p = turn @ (np.array([atom.pos.x, atom.pos.y, atom.pos.z]) - centre) + centre
        atom.pos = gemmi.Position(*p)
    rotated = tmp_path / "ubiquitin-rotated.pdb"
    structure.write_pdb(str(rotated))
    done = run_kelfit(
        "fit", "--structure", rotated, "--couplings", couplings, "-q",
        "--domain", "N=1-35", "--domain", "C=36-70", "--exclude", "71-76",
        "--errors", "100", "--bootstrap", "--seed", "1", "--json",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    p = _pair(json.loads(done.stdout))
    q = np.array(p["rotation"]["matrix"])
    off = residual_angle(q, turn.T)
    assert off <= 2 * p["errors"]["rotation_spread_deg"]
    assert p["rotation"]["angle_deg"] == pytest.approx(
        30.0, abs=3 * p["errors"]["rotation_angle_sd_deg"]
    )
