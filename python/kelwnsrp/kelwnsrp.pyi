"""JW controllers over their computer link, and simulated ones."""
from os import PathLike
from types import TracebackType
from typing import Callable, Iterable, Mapping, Optional, Sequence, Union

Value = Union[int, float]

class Error(Exception):
    """A call on a line failed; the message is the driver's."""

class GateAddressError(Error):
    """A malformed or out-of-range gate address: refused before anything is sent."""

class ValueRangeError(Error):
    """A value the gate cannot take: refused before anything is sent."""

class NoAnswer(Error):
    """Every attempt went without a valid answer."""

class Refused(Error):
    """The controller answered with an error status."""
    status: int

class Line:
    """A controller line on a serial port; calls on one line take turns, lines of their own run at once."""
    def __init__(
        self,
        port: str,
        baud: int = 9600,
        data_bits: int = 7,
        parity: str = "none",
        stop_bits: float = 1,
        link_timeout_ms: int = 1000,
        reply_pause_ms: int = 50,
    ) -> None: ...
    def read(self, address: str) -> Optional[Value]:
        """One gate's value; a float for a ':float' gate, None when a timer/counter withholds it."""
    def read_many(self, addresses: Sequence[str]) -> list[Optional[Value]]:
        """Many gates in the fewest exchanges, in the order given."""
    def write(self, address: str, value: Value) -> None:
        """Writes a whole number to a gate, through write mode when the controller asks for it."""
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def port(self) -> str: ...
    trace: Optional[Callable[[str, str], object]]
    """Given ('<', request) and ('>', reply) for every frame, as kelhost shows it."""
    def __enter__(self) -> "Line": ...
    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...

class SimulatorMemory:
    def __getitem__(self, address: str) -> Value: ...
    def __setitem__(self, address: str, value: Value) -> None: ...

class Simulator:
    """Simulated controllers serving a fresh pseudo-terminal, started at once."""
    def __init__(
        self,
        memory: Union[None, Mapping[str, Value], str, PathLike[str]] = None,
        stations: Iterable[int] = (1,),
        baud: int = 0,
        write_protected: bool = False,
    ) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def baud(self) -> int: ...
    @property
    def memory(self) -> SimulatorMemory: ...
    def fault(self, kind: str, count: int = 1, status: int = -1, delay_ms: int = -1) -> None:
        """Damages the next count replies with the fault jwsim's --fault names."""
    @property
    def requests(self) -> list[str]:
        """The request frames received, '::' to the checksum digits."""
    def clear_requests(self) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> "Simulator": ...
    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
