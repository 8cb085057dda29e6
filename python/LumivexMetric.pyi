# Type information for the LumivexMetric extension module (checked against
# the module with mypy's stubtest).
import os
from typing import NamedTuple, Optional, Union

import numpy
import numpy.typing

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class Lens:
    """A pinhole lens with five distortion coefficients."""
    fx: float
    fy: float
    cx: float
    cy: float
    k1: float
    k2: float
    p1: float
    p2: float
    k3: float
    description: str
    def __init__(
        self,
        fx: float,
        fy: float,
        cx: float,
        cy: float,
        k1: float = 0.0,
        k2: float = 0.0,
        p1: float = 0.0,
        p2: float = 0.0,
        k3: float = 0.0,
        description: str = "",
    ) -> None: ...
    @staticmethod
    def nominal() -> Lens: ...
    @staticmethod
    def load(path: _Path) -> Lens: ...
    def save(self, path: _Path) -> None: ...
    def rays(self) -> numpy.typing.NDArray[numpy.float32]: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(text: str) -> Lens: ...
    def __eq__(self, other: object) -> bool: ...

class PointCloud(NamedTuple):
    """A point cloud: points float32 (180, 240, 3), NaN where left out; valid bool (180, 240)."""
    points: numpy.typing.NDArray[numpy.float32]
    valid: numpy.typing.NDArray[numpy.bool_]

def point_cloud(
    depth: numpy.typing.ArrayLike,
    lens: Lens,
    amplitude: Optional[numpy.typing.ArrayLike] = None,
    min_amplitude: Optional[float] = None,
    flying_pixel: Optional[float] = None,
    no_signal: bool = False,
) -> PointCloud: ...
def write_ply(path: _Path, points: numpy.typing.ArrayLike, amplitude: Optional[numpy.typing.ArrayLike] = None) -> int: ...
