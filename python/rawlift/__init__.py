"""The embedded JPEG previews of camera RAW files (NEF, CR2, CR3, ARW, RAF,
RW2, ORF, PEF, DNG and many more), from librawlift.

    import rawlift
    with rawlift.open("DSC_0001.NEF") as raw:
        print(raw.description.make, raw.description.model)
        jpeg = raw.jpeg()                         # the full preview, bytes
        width, height, rgb = raw.thumbnail(256)   # upright, 8-bit RGB

Every failure raises rawlift.Error (with .code and .text); a file without a
preview raises it from jpeg(), thumbnail() and image() with code
STATUS_NO_PREVIEW and the reason in .reason and .reason_text. The engine
runs without the GIL: threads that each open their own files run in
parallel.
"""

import os
from typing import List, NamedTuple, Optional, Tuple, Union

from ._error import Error
from . import _rawlift

__all__ = [
    "Error", "RawFile", "Description", "EmbeddedImage", "open", "library_version",
    "reuse_large_allocations",
    "MAX_THUMBNAIL_SIZE",
]

# Statuses of librawlift (Error.code).
STATUS_INVALID_ARGUMENT = 1
STATUS_CANNOT_OPEN = 2
STATUS_READ = 3
STATUS_NO_PREVIEW = 4
STATUS_BUFFER_TOO_SMALL = 5
STATUS_UNDECODABLE_PREVIEW = 6
STATUS_NOT_IN_THIS_BUILD = 7
STATUS_OUT_OF_MEMORY = 8
STATUS_INTERNAL = 9

MAX_THUMBNAIL_SIZE = 4096

_METADATA = {"compact": 0, "complete": 1}


class Description(NamedTuple):
    """What the file records about the camera and the shot."""

    make: str
    model: str
    model2: str
    artist: str
    description: str
    timestamp: int  # seconds since 1970 (local time read in the TZ zone); 0: none
    exif_orientation: int  # 1..8
    iso_speed: float
    shutter: float  # seconds
    aperture: float  # f-number
    focal_length: float  # mm


class EmbeddedImage(NamedTuple):
    """One image embedded in the file, as its container describes it."""

    where: str  # "IFD0", "SubIFD2", "MakerNote PreviewImage", "PRVW"...
    kind: str  # "jpeg", "jpegxl", "bitmap" or "other"
    offset: int
    length: int
    width: int  # 0 by 0 when unknown
    height: int
    complete: bool  # lies wholly inside the file
    own_exif: bool  # a JPEG with its own Exif segment


def reuse_large_allocations() -> None:
    """Tunes the process's memory allocator for one multi-megabyte JPEG
    after another, as the rawlift command does (glibc: freed blocks of up to
    32 MiB stay in the heap): about 0.25 ms per 2.5 MB preview instead of
    10. Process-wide and not undone: call it once from a script of your own
    that goes through many files, not from a library."""
    _rawlift.reuse_large_allocations()


def library_version() -> str:
    """The version of the librawlift this module runs on."""
    return _rawlift.library_version()


class RawFile:
    """An open camera file. Use rawlift.open(); close() or a with block
    closes it. One RawFile may be shared between threads (calls on it take
    turns); separate RawFiles run in parallel."""

    def __init__(self, handle):
        self._handle = handle
        self._described = None

    def _describe(self):
        if self._described is None:
            self._described = self._handle.describe()
        return self._described

    @property
    def description(self) -> Description:
        d = self._describe()
        return Description(*(d[field] for field in Description._fields))

    @property
    def raw(self) -> bool:
        """Whether the file is a camera raw file."""
        return self._describe()["raw"]

    @property
    def reason(self) -> Optional[str]:
        """Why jpeg() with no arguments gives nothing, in words; None when it
        gives a JPEG."""
        d = self._describe()
        return d["reason_text"] if d["reason"] != 0 else None

    @property
    def reason_code(self) -> int:
        """The same as a number (0 when there is a JPEG)."""
        return self._describe()["reason"]

    @property
    def images(self) -> List[EmbeddedImage]:
        """Every embedded image, in the order the container holds them."""
        return [EmbeddedImage(**image) for image in self._handle.images()]

    @property
    def extraction_choice(self) -> Optional[int]:
        """The index in images of the JPEG jpeg() gives by default."""
        choice = self._describe()["extraction_choice"]
        return None if choice < 0 else choice

    def _raise_no_preview(self, error: Error):
        if error.code == STATUS_NO_PREVIEW:
            d = self._describe()
            error.reason, error.reason_text = d["reason"], d["reason_text"]
        raise error

    def jpeg(self, size: Optional[int] = None, metadata: str = "compact",
             accept_converted: bool = False) -> bytes:
        """The JPEG: with size None the full preview (the bytes `rawlift
        preview` writes), else the smallest JPEG whose longer side is at
        least size pixels (the largest when none is). metadata "compact" or
        "complete" says what the Exif header the library writes (when the
        JPEG has none) carries. accept_converted gives converted DNGs their
        JPEG too."""
        if metadata not in _METADATA:
            raise ValueError("metadata must be 'compact' or 'complete', not %r" % (metadata,))
        if size is not None and size < 1:
            raise ValueError("size must be at least 1")
        try:
            return self._handle.jpeg(size or 0, _METADATA[metadata], accept_converted)
        except Error as error:
            self._raise_no_preview(error)

    def thumbnail(self, size: int) -> Tuple[int, int, bytes]:
        """(width, height, rgb): the file within size by size pixels (1 to
        MAX_THUMBNAIL_SIZE; proportions kept, never enlarged), upright, as
        width * height * 3 bytes of 8-bit RGB, rows top to bottom."""
        if size < 1 or size > MAX_THUMBNAIL_SIZE:
            raise ValueError("size must be from 1 to %d" % MAX_THUMBNAIL_SIZE)
        try:
            return self._handle.thumbnail(size)
        except Error as error:
            self._raise_no_preview(error)

    def image(self, size: Optional[int] = None):
        """A PIL.Image, upright: the full preview decoded (size None) or the
        thumbnail within size by size pixels. Needs Pillow."""
        from PIL import Image

        if size is not None:
            width, height, rgb = self.thumbnail(size)
            return Image.frombytes("RGB", (width, height), rgb)
        import io

        picture = Image.open(io.BytesIO(self.jpeg()))
        picture.load()
        # The preview's own Orientation when its Exif has one, else the camera's.
        orientation = picture.getexif().get(0x0112) or self.description.exif_orientation
        return _upright(picture, orientation)

    def close(self) -> None:
        self._handle.close()

    def __enter__(self) -> "RawFile":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _upright(picture, orientation: int):
    from PIL import Image

    # Pillow 9.1 and later name the operations in Image.Transpose.
    transpose = getattr(Image, "Transpose", Image)
    operations = {
        2: [transpose.FLIP_LEFT_RIGHT],
        3: [transpose.ROTATE_180],
        4: [transpose.FLIP_TOP_BOTTOM],
        5: [transpose.TRANSPOSE],
        6: [transpose.ROTATE_270],
        7: [transpose.TRANSVERSE],
        8: [transpose.ROTATE_90],
    }.get(orientation, [])
    for operation in operations:
        picture = picture.transpose(operation)
    return picture


def open(source: Union[str, bytes, os.PathLike, bytearray, memoryview]) -> RawFile:
    """Opens a camera file: a path (str or os.PathLike), or its bytes
    (bytes, bytearray or memoryview; the last two are copied)."""
    if isinstance(source, (bytearray, memoryview)):
        source = bytes(source)
    if isinstance(source, bytes):
        return RawFile(_rawlift.open_bytes(source))
    return RawFile(_rawlift.open_path(os.fsencode(source)))
