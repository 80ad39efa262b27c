"""Kestrel's band correction for Python pipelines (see help(kestrel) for the whole story)."""

import os
from typing import Any, Iterable, Iterator, List, Literal, NamedTuple, Optional, Protocol, Tuple, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# A phase may be a NumPy integer, as an array's element or a computed index.
_Phase = Union[int, np.integer[Any]]
# correct, correct_file and watch also take "auto": each frame's own phase.
_PhaseOrAuto = Union[_Phase, Literal["auto"]]

class _Quantity(Protocol):
    # An astropy Quantity, as far as the amplitude takes one (in ADU).
    unit: Any
    def to_value(self, unit: Any = ...) -> Any: ...

_Amplitude = Union[float, np.floating[Any], _Quantity]

class _CCDData(Protocol):
    # An astropy CCDData, in ADU or electrons.
    data: Any
    unit: Any
    meta: Any

_C = TypeVar("_C", bound=_CCDData)

class Error(Exception):
    """A failure of Kestrel's own, with its message."""

    reports: List[str]
    """The texts of every box the steps asked for, in order, as kestrel-cli prints them."""

class MissingFileError(Error, FileNotFoundError):
    """A file that is not there; also a FileNotFoundError."""

class FilePermissionError(Error, PermissionError):
    """A file the system does not let Kestrel read or write; also a PermissionError."""

class FileSystemError(Error, OSError):
    """Any other failure of the system with a file, its errno set; also an OSError."""

class Frame(NamedTuple):
    """A FITS image as kestrel.read reads it."""

    cards: List[str]
    """The header cards before END, 80 characters each, in order."""
    # float32 or uint16 as the file holds them: typed loosely so that a pipeline passes a
    # float file's data to correct or measure, and a 16-bit file's to find_phase, unchecked.
    data: npt.NDArray[Any]
    """The pixels, (rows, columns), as the file stores them: float32 or uint16."""
    binning: Optional[str]
    """'1x1', '2x2', or None for a width of no binning."""
    pixinsight: bool
    """True for a PixInsight file: give it as pixinsight to correct and measure."""
    scale: str
    """'adu' (samples in ADU) or 'normalised' (a PixInsight file's 0..1 samples)."""

class Phase(NamedTuple):
    """The band phase of a 16-bit frame, as kestrel.find_phase finds it."""

    phase: int
    binning: str
    significance: Optional[float]
    scores: npt.NDArray[np.float64]
    contrasts: npt.NDArray[np.float64]
    standard_errors: npt.NDArray[np.float64]
    significances: npt.NDArray[np.float64]
    contrast_failure: Optional[str]
    reports: List[str]

class Measurement(NamedTuple):
    """What kestrel.measure found, as kestrel-cli profile prints it."""

    binning: str
    phase: int
    background: float
    amplitude: float
    measured: bool
    estimator: str
    columns: Tuple[int, int]
    upper: float
    before: npt.NDArray[np.float64]
    after: npt.NDArray[np.float64]
    residual: float
    residual_phase: int
    residual_noise: float
    reports: List[str]

class Outcome(NamedTuple):
    """What became of one image, as a result line of kestrel-cli correct tells it."""

    input: Optional[str]
    output: Optional[str]
    result: str
    """'corrected', 'failed' or 'skipped', as kestrel-cli's result line says."""
    skip: Optional[str]
    """'unreadable', 'no header', 'not float', 'other width', 'bad phase', 'repeated',
    'replaces input', 'keeps existing', or None for an image handed to a correction."""
    message: str
    binning: Optional[str]
    phase: Optional[int]
    background: Optional[float]
    """The background level, ADU, or None when it was not (or could not be) measured."""
    amplitude: Optional[float]
    """The amplitude added to the offset bands, ADU, or None when none was."""
    measured: bool
    estimator: Optional[str]
    temperature: Optional[float]
    """CCD-TEMP in degrees Celsius as the header gives it, or None."""
    exposure: Optional[int]
    reports: List[str]

class Planned(NamedTuple):
    """One file of a run and the output kestrel.plan gives it."""

    input: str
    output: str
    refused: Optional[Outcome]

def read(path: _Path) -> Frame:
    """Reads a FITS image (32-bit float or 16-bit unsigned) as Kestrel reads it."""

def find_phase(data: npt.NDArray[np.uint16], binning: Optional[str] = None) -> Phase:
    """Finds the band phase of a 16-bit unsigned frame ('<u2' or '>u2')."""

def measure(
    data: Union[npt.NDArray[np.float32], _CCDData],
    phase: _Phase,
    binning: Optional[str] = None,
    amplitude: Optional[_Amplitude] = None,
    *,
    estimator: str = "standard",
    pixinsight: bool = False,
    nan_policy: str = "raise",
) -> Measurement:
    """Measures what correct would do to a float32 frame ('<f4' or '>f4') or CCDData, writing nothing."""

@overload
def correct(
    data: npt.NDArray[np.float32],
    phase: _PhaseOrAuto,
    amplitude: Optional[_Amplitude] = None,
    binning: Optional[str] = None,
    out: Optional[npt.NDArray[np.float32]] = None,
    *,
    estimator: str = "standard",
    pixinsight: bool = False,
    nan_policy: str = "raise",
    phase_check: bool = True,
) -> Tuple[npt.NDArray[np.float32], Outcome]:
    """Corrects a float32 frame in memory: the samples kestrel-cli writes, and the outcome."""

@overload
def correct(
    data: _C,
    phase: _PhaseOrAuto,
    amplitude: Optional[_Amplitude] = None,
    binning: Optional[str] = None,
    out: Optional[npt.NDArray[np.float32]] = None,
    *,
    estimator: str = "standard",
    pixinsight: bool = False,
    nan_policy: str = "raise",
    phase_check: bool = True,
) -> Tuple[_C, Outcome]:
    """Corrects a CCDData: a new one with the corrected samples, and the outcome."""

def correct_file(
    path: _Path,
    output_dir: Optional[_Path] = None,
    overwrite: bool = False,
    phase_1x1: Optional[_PhaseOrAuto] = None,
    phase_2x2: Optional[_PhaseOrAuto] = None,
    amplitude: Optional[_Amplitude] = None,
    *,
    estimator: str = "standard",
    replace_outputs: bool = False,
    phase_check: bool = True,
) -> Outcome:
    """Corrects one FITS file exactly as kestrel-cli correct does."""

def plan(
    paths: Iterable[_Path], output_dir: Optional[_Path] = None, overwrite: bool = False, *, replace_outputs: bool = False
) -> List[Planned]:
    """Which outputs the files of one run may write, as kestrel-cli settles them."""

def append_results(path: _Path, outcomes: Iterable[Outcome]) -> int:
    """Appends the measured outcomes to a results file, as kestrel-cli --csv does."""

def settings_file() -> str:
    """The settings file kestx.ini whose phases correct_file takes when none is given."""

def watch(
    folders: Union[_Path, Iterable[_Path]],
    output_dir: Optional[_Path] = None,
    phase_1x1: Optional[_PhaseOrAuto] = None,
    phase_2x2: Optional[_PhaseOrAuto] = None,
    amplitude: Optional[_Amplitude] = None,
    *,
    estimator: str = "standard",
    settle: float = 2.0,
    existing: str = "correct",
    poll: Optional[float] = None,
    jobs: int = 0,
    phase_check: bool = True,
) -> Iterator[Outcome]:
    """Watches folders and yields an Outcome for each frame as it is corrected."""
