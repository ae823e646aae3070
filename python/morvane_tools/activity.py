"""Activity outcomes from epoch ENMO: intensity levels and their published cut-points.

Every ENMO value here is in mg (1 g = 1000 mg).
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Any, Mapping

import numpy as np

__all__ = ["CUTPOINTS", "cutpoints", "intensity_levels", "LEVELS"]

#: Intensity levels in order; an epoch's level is the highest whose threshold it reaches.
LEVELS = ("sedentary", "light", "moderate", "vigorous")

#: Published ENMO cut-points (mg) by name: the thresholds of light, moderate and vigorous
#: activity. A threshold belongs to the level above it.
CUTPOINTS: Mapping[str, Mapping[str, Any]] = MappingProxyType({
    "default": MappingProxyType({
        "light_mg": 40.0, "moderate_mg": 100.0, "vigorous_mg": 400.0,
        "citation": "round ENMO thresholds in wide use for wrist-worn accelerometers: light "
                    "40 mg, and moderate 100 mg and vigorous 400 mg rounded from Hildebrand "
                    "et al. 2014",
    }),
    "hildebrand_geneactiv_nondominant": MappingProxyType({
        "light_mg": 45.8, "moderate_mg": 93.2, "vigorous_mg": 418.3,
        "device": "GENEActiv", "placement": "non-dominant wrist, adults",
        "citation": "Hildebrand M, et al. Age group comparability of raw accelerometer output "
                    "from wrist- and hip-worn monitors. Med Sci Sports Exerc 2014;46:1816-24 "
                    "(moderate, vigorous); Hildebrand M, et al. Evaluation of raw acceleration "
                    "sedentary thresholds in children and adults. Scand J Med Sci Sports "
                    "2017;27:1814-23 (light)",
    }),
    "hildebrand_actigraph_nondominant": MappingProxyType({
        "light_mg": 44.8, "moderate_mg": 100.6, "vigorous_mg": 428.8,
        "device": "ActiGraph GT3X+", "placement": "non-dominant wrist, adults",
        "citation": "Hildebrand M, et al. Age group comparability of raw accelerometer output "
                    "from wrist- and hip-worn monitors. Med Sci Sports Exerc 2014;46:1816-24 "
                    "(moderate, vigorous); Hildebrand M, et al. Evaluation of raw acceleration "
                    "sedentary thresholds in children and adults. Scand J Med Sci Sports "
                    "2017;27:1814-23 (light)",
    }),
})


def cutpoints(value: str | Mapping[str, Any]) -> dict[str, float]:
    """The thresholds ``{"light_mg", "moderate_mg", "vigorous_mg"}`` of a registry name or a
    mapping holding those three keys (rising).

    Raises
    ------
    ValueError
        For an unknown name or thresholds that do not rise.
    """
    if isinstance(value, str):
        if value not in CUTPOINTS:
            raise ValueError(f"unknown cut-points {value!r}; known: {', '.join(CUTPOINTS)}")
        value = CUTPOINTS[value]
    try:
        out = {k: float(value[k]) for k in ("light_mg", "moderate_mg", "vigorous_mg")}
    except (KeyError, TypeError, ValueError):
        raise ValueError("cut-points need numbers light_mg, moderate_mg and vigorous_mg") from None
    if not (0 < out["light_mg"] < out["moderate_mg"] < out["vigorous_mg"]):
        raise ValueError(f"cut-points must rise: {out}")
    return out


def intensity_levels(values_mg: Any, cuts: str | Mapping[str, Any] = "default") -> np.ndarray:
    """The level of each epoch: 0 sedentary, 1 light, 2 moderate, 3 vigorous; -1 for NaN.

    Each epoch counts where its ENMO falls, a threshold belonging to the level above
    (Hildebrand et al. 2014, 2017).
    """
    c = cutpoints(cuts)
    v = np.asarray(values_mg, dtype=np.float64)
    edges = np.array([c["light_mg"], c["moderate_mg"], c["vigorous_mg"]])
    out = np.searchsorted(edges, v, side="right").astype(np.int8)
    out[np.isnan(v)] = -1
    return out
