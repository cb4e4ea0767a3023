import os
from typing import List, NamedTuple, Optional, Tuple, Union

from PIL.Image import Image as _PilImage

STATUS_INVALID_ARGUMENT: int
STATUS_CANNOT_OPEN: int
STATUS_READ: int
STATUS_NO_PREVIEW: int
STATUS_BUFFER_TOO_SMALL: int
STATUS_UNDECODABLE_PREVIEW: int
STATUS_NOT_IN_THIS_BUILD: int
STATUS_OUT_OF_MEMORY: int
STATUS_INTERNAL: int
MAX_THUMBNAIL_SIZE: int

class Error(Exception):
    code: int
    text: str
    reason: Optional[int]
    reason_text: Optional[str]
    def __init__(self, code: int, text: str, reason: Optional[int] = ...,
                 reason_text: Optional[str] = ...) -> None: ...

class Description(NamedTuple):
    make: str
    model: str
    model2: str
    artist: str
    description: str
    timestamp: int
    exif_orientation: int
    iso_speed: float
    shutter: float
    aperture: float
    focal_length: float

class EmbeddedImage(NamedTuple):
    where: str
    kind: str
    offset: int
    length: int
    width: int
    height: int
    complete: bool
    own_exif: bool

class RawFile:
    @property
    def description(self) -> Description: ...
    @property
    def raw(self) -> bool: ...
    @property
    def reason(self) -> Optional[str]: ...
    @property
    def reason_code(self) -> int: ...
    @property
    def images(self) -> List[EmbeddedImage]: ...
    @property
    def extraction_choice(self) -> Optional[int]: ...
    def jpeg(self, size: Optional[int] = ..., metadata: str = ...,
             accept_converted: bool = ...) -> bytes: ...
    def thumbnail(self, size: int) -> Tuple[int, int, bytes]: ...
    def image(self, size: Optional[int] = ...) -> _PilImage: ...
    def close(self) -> None: ...
    def __enter__(self) -> RawFile: ...
    def __exit__(self, *exc: object) -> None: ...

def library_version() -> str: ...
def reuse_large_allocations() -> None: ...
def open(source: Union[str, bytes, os.PathLike, bytearray, memoryview]) -> RawFile: ...
