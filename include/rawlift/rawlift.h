/* rawlift.h: the embedded JPEG previews of camera RAW files, for C programs
 * and anything that can call C.
 *
 * A camera RAW file (NEF, CR2, CR3, ARW, RAF, RW2, ORF, PEF, DNG and many
 * more) carries one or more JPEG pictures that the camera made beside the
 * raw sensor data. This library finds them by reading the file's container
 * only (the raw data is never decoded) and hands out:
 *   - what the file says about the camera and the shot (rawlift_describe),
 *   - every image embedded in it (rawlift_image_count, rawlift_image_at),
 *   - a JPEG: the full preview that `rawlift preview` writes, or the
 *     smallest one that covers a size, with an Exif header
 *     (rawlift_get_jpeg, rawlift_copy_jpeg),
 *   - a thumbnail as 8-bit RGB pixels, turned upright (rawlift_thumbnail).
 *
 * Conventions
 *   - Every call that can fail returns a rawlift_status; RAWLIFT_OK (0) is
 *     success and rawlift_error_text() gives any status in words. Results go through
 *     pointer arguments, which are written only on success unless a call
 *     says otherwise. Nothing is printed; no C++ exception leaves the
 *     library; running out of memory is RAWLIFT_ERROR_OUT_OF_MEMORY.
 *   - A rawlift_file is an opaque handle. There is no global state: handles
 *     may be used from many threads at once, each handle by one thread at a
 *     time.
 *   - Texts are NUL-terminated UTF-8. Texts and tables that a handle hands
 *     out stay valid until rawlift_close() of that handle.
 *   - Structs that may grow start with `struct_size`: set it to
 *     sizeof the struct before the call and the rest to zero
 *     (`rawlift_image image = {.struct_size = sizeof image};`). A library
 *     newer than the header fills only the fields the caller's size holds;
 *     an older one leaves the fields it does not know as they were.
 *   - Additions keep the ABI: new calls, new enum values at the end, new
 *     fields at the end of sized structs. The shared library's SONAME
 *     (librawlift.so.1) changes only when that promise is broken.
 *
 * Build with `pkg-config --cflags --libs rawlift`, or in CMake with
 * find_package(Rawlift) and target_link_libraries(... Rawlift::rawlift).
 */
#ifndef RAWLIFT_RAWLIFT_H
#define RAWLIFT_RAWLIFT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
#if defined(RAWLIFT_BUILDING_LIBRARY)
#define RAWLIFT_API __declspec(dllexport)
#elif defined(RAWLIFT_STATIC)
#define RAWLIFT_API
#else
#define RAWLIFT_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define RAWLIFT_API __attribute__((visibility("default")))
#else
#define RAWLIFT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ---------------------------------------------------------- */

/* The version of this header. rawlift_version() gives the library's. */
#define RAWLIFT_VERSION_MAJOR 1
#define RAWLIFT_VERSION_MINOR 0
#define RAWLIFT_VERSION_PATCH 0

/* The library's version as MAJOR * 10000 + MINOR * 100 + PATCH (10000 for
 * 1.0.0), and, when `text` is not NULL, as a text ("1.0.0"). */
RAWLIFT_API int rawlift_version(const char** text);

/* Tunes the process's memory allocator for one multi-megabyte JPEG after
 * another, as the rawlift command does: with glibc, freed blocks of up to
 * 32 MiB stay in the heap for the next file instead of being handed back to
 * the system and faulted in afresh (which costs more than the extraction
 * itself: 0.25 ms per 2.5 MB preview with it, 10 ms without, measured from
 * Python). Process-wide, and not undone: call it once, early, from a program
 * of your own, never from a plug-in loaded into someone else's process.
 * Elsewhere it does nothing. Always RAWLIFT_OK. */
RAWLIFT_API int rawlift_reuse_large_allocations(void);

/* ---- Status ----------------------------------------------------------- */

typedef enum rawlift_status {
  RAWLIFT_OK = 0,
  /* A NULL handle or output pointer, a struct_size too small for the
   * fields every version has, an index past the list, a size of 0... */
  RAWLIFT_ERROR_INVALID_ARGUMENT = 1,
  /* The file cannot be opened (missing, a folder, no permission). */
  RAWLIFT_ERROR_CANNOT_OPEN = 2,
  /* The read callback reported an error. */
  RAWLIFT_ERROR_READ = 3,
  /* The file gives no JPEG for this request; rawlift_describe() tells why
   * (its `reason`). */
  RAWLIFT_ERROR_NO_PREVIEW = 4,
  /* The caller's buffer is too small; the size needed was written. */
  RAWLIFT_ERROR_BUFFER_TOO_SMALL = 5,
  /* The embedded JPEG cannot be decoded for a thumbnail (damaged, cut
   * short, or a colour space or size the decoder does not take). */
  RAWLIFT_ERROR_UNDECODABLE_PREVIEW = 6,
  /* This build cannot do it (thumbnails on Windows). */
  RAWLIFT_ERROR_NOT_IN_THIS_BUILD = 7,
  RAWLIFT_ERROR_OUT_OF_MEMORY = 8,
  /* A fault inside the library that none of the above describes. */
  RAWLIFT_ERROR_INTERNAL = 9
} rawlift_status;

/* The status in a few English words ("the file cannot be opened"); a text
 * for unknown codes too. Never NULL; static storage. */
RAWLIFT_API const char* rawlift_error_text(int status);

/* ---- Opening ---------------------------------------------------------- */

typedef struct rawlift_file rawlift_file;

/* Opens a file by path: UTF-8 on Windows, the name's bytes (UTF-8 as a rule)
 * elsewhere. The file stays open until rawlift_close(). Sidecar JPEGs beside
 * the file are looked for where the container needs them. */
RAWLIFT_API rawlift_status rawlift_open_path(const char* path, rawlift_file** file);

#if defined(_WIN32)
/* Opens a file by a UTF-16 path (Windows only). */
RAWLIFT_API rawlift_status rawlift_open_path_w(const wchar_t* path, rawlift_file** file);
#endif

/* Opens `size` bytes at `data`. The bytes are not copied: they must stay
 * valid and unchanged until rawlift_close(). `data` may be NULL when `size`
 * is 0 (a file without bytes). */
RAWLIFT_API rawlift_status rawlift_open_memory(const void* data, size_t size, rawlift_file** file);

/* A source of bytes the caller reads (a stream, an object store...). */
typedef struct rawlift_reader {
  size_t struct_size; /* sizeof(rawlift_reader) */
  void* context;      /* handed to the functions below */
  uint64_t size;      /* the file's length in bytes */
  /* Copies up to `length` bytes from `offset` into `buffer` and returns the
   * count copied: fewer only at the end of the file. -1 reports an error,
   * which ends the call under way with RAWLIFT_ERROR_READ. The library never
   * asks for bytes at or past `size`, and calls this from the thread that
   * called into the library. */
  int64_t (*read)(void* context, uint64_t offset, void* buffer, size_t length);
  /* Called once by rawlift_close() (or by the failed open); may be NULL. */
  void (*close)(void* context);
} rawlift_reader;

/* Opens the bytes that `reader` gives; the struct itself is copied. */
RAWLIFT_API rawlift_status rawlift_open_reader(const rawlift_reader* reader, rawlift_file** file);

/* Closes the handle and frees what it handed out. NULL is accepted. */
RAWLIFT_API void rawlift_close(rawlift_file* file);

/* ---- What the file says ----------------------------------------------- */

/* Why a file gives no JPEG (the same reasons `rawlift identify` shows). */
typedef enum rawlift_reason {
  RAWLIFT_REASON_NONE = 0,                  /* it gives one */
  RAWLIFT_REASON_CANNOT_OPEN = 1,           /* it cannot be opened or read */
  RAWLIFT_REASON_CONVERTED_FILE = 2,        /* not camera raw: written by a raw converter */
  RAWLIFT_REASON_ORDINARY_IMAGE = 3,        /* not camera raw: an ordinary RGB or grey image */
  RAWLIFT_REASON_PLAIN_JPEG = 4,            /* not camera raw: a JPEG */
  RAWLIFT_REASON_UNKNOWN_CONTAINER = 5,     /* not camera raw: no camera container recognised */
  RAWLIFT_REASON_NO_RAW_IMAGE = 6,          /* a camera container without a raw image */
  RAWLIFT_REASON_BITMAP_PREVIEW_ONLY = 7,   /* raw, its preview is an uncompressed bitmap */
  RAWLIFT_REASON_JPEG_XL_PREVIEW_ONLY = 8,  /* raw, its only full preview is JPEG XL */
  RAWLIFT_REASON_NO_PREVIEW = 9,            /* raw, without any preview */
  RAWLIFT_REASON_PREVIEW_OUTSIDE_FILE = 10, /* the preview runs past the end (cut short) */
  RAWLIFT_REASON_PREVIEW_NOT_JPEG = 11,     /* the preview's bytes are no JPEG */
  RAWLIFT_REASON_OUT_OF_MEMORY = 12,
  RAWLIFT_REASON_FILE_CUT_SHORT = 13,     /* a camera's file cut short: its raw image or preview
                                             lies past its end */
  RAWLIFT_REASON_PREVIEW_TOO_LARGE = 14   /* the preview's stored length is more than any camera
                                             writes */
} rawlift_reason;

/* The reason in plain words ("not a camera raw file: written by a raw
 * converter"); "" for RAWLIFT_REASON_NONE. Never NULL; static storage. */
RAWLIFT_API const char* rawlift_reason_text(int reason);

/* The camera and the shot as the file records them. */
typedef struct rawlift_description {
  size_t struct_size; /* sizeof(rawlift_description) */
  /* The camera's texts; "" when absent. The file's bytes are read as
   * Latin-1 and given as UTF-8. */
  const char* make;
  const char* model;
  const char* model2;
  const char* artist;
  const char* description;
  /* Capture time, seconds since 1970-01-01 00:00:00 UTC; 0 when absent.
   * Cameras record local time without a zone: it is read in the zone of
   * the TZ environment variable (the system's when unset). */
  int64_t timestamp;
  /* How the picture is shown upright, as Exif Orientation (1 to 8). */
  int exif_orientation;
  float iso_speed;    /* 0 when absent */
  float shutter;      /* seconds; 0 when absent */
  float aperture;     /* f-number; 0 when absent */
  float focal_length; /* mm; 0 when absent */
  int raw;            /* 1 for a camera raw file, else 0 */
  /* Why the default JPEG (rawlift_get_jpeg with no options) cannot be had;
   * RAWLIFT_REASON_NONE when it can. reason_text says it in words. */
  int reason;
  const char* reason_text;
  size_t image_count; /* the embedded images, as rawlift_image_at lists them */
  /* The index of the image rawlift_get_jpeg gives by default; -1: none. */
  int extraction_choice;
} rawlift_description;

/* Fills `out` with what the file says. The file is read the first time one
 * of rawlift_describe, rawlift_image_count or rawlift_image_at is called;
 * later calls answer from memory. */
RAWLIFT_API rawlift_status rawlift_describe(rawlift_file* file, rawlift_description* out);

/* How an embedded image is encoded. */
typedef enum rawlift_image_kind {
  RAWLIFT_IMAGE_JPEG = 0,    /* JPEG (baseline, progressive or lossless) */
  RAWLIFT_IMAGE_JPEG_XL = 1, /* JPEG XL */
  RAWLIFT_IMAGE_BITMAP = 2,  /* uncompressed pixels */
  RAWLIFT_IMAGE_OTHER = 3    /* a compression the library does not read */
} rawlift_image_kind;

/* One embedded image, as its container describes it. */
typedef struct rawlift_image {
  size_t struct_size; /* sizeof(rawlift_image) */
  /* Where it was found: "IFD0", "SubIFD2", "MakerNote PreviewImage",
   * "PRVW", "THMB", "track 1", "RAF header"... */
  const char* where;
  int kind;              /* a rawlift_image_kind */
  const char* kind_name; /* "jpeg", "jpegxl", "bitmap" or "other" */
  uint64_t offset;       /* of its first byte in the file */
  uint64_t length;       /* its length as the container states it */
  uint32_t width;        /* pixels; 0 by 0 when unknown */
  uint32_t height;
  int complete; /* 1 when it lies wholly inside the file */
  int own_exif; /* 1 for a JPEG with its own Exif segment */
} rawlift_image;

/* The number of embedded images. */
RAWLIFT_API rawlift_status rawlift_image_count(rawlift_file* file, size_t* count);

/* Image `index` (0 to count - 1). */
RAWLIFT_API rawlift_status rawlift_image_at(rawlift_file* file, size_t index, rawlift_image* out);

/* ---- JPEGs ------------------------------------------------------------ */

/* How much of the file's own description the Exif header carries when the
 * library writes one (the JPEG has no Exif of its own): */
typedef enum rawlift_metadata {
  /* make, model, date, orientation and exposure, as `rawlift preview`. */
  RAWLIFT_METADATA_COMPACT = 0,
  /* the file's own IFD0, Exif and GPS directories. */
  RAWLIFT_METADATA_COMPLETE = 1
} rawlift_metadata;

/* Which JPEG, and with what metadata. NULL options mean all fields 0. */
typedef struct rawlift_jpeg_options {
  size_t struct_size; /* sizeof(rawlift_jpeg_options) */
  /* 0: the full preview, the one `rawlift preview` writes. N > 0: the
   * smallest complete JPEG whose longer side is at least N pixels, else the
   * largest one. */
  uint32_t cover;
  int metadata; /* a rawlift_metadata */
  /* 1: files written by a raw converter (converted DNGs) give their JPEG
   * too; 0: they give RAWLIFT_ERROR_NO_PREVIEW, as `rawlift preview`. */
  int accept_converted;
} rawlift_jpeg_options;

/* The JPEG into a buffer the library allocates: on success `*jpeg` points to
 * `*length` bytes (starting FF D8) that the caller frees with rawlift_free().
 * RAWLIFT_ERROR_NO_PREVIEW when the file has none for these options. */
RAWLIFT_API rawlift_status rawlift_get_jpeg(rawlift_file* file, const rawlift_jpeg_options* options,
                                            uint8_t** jpeg, size_t* length);

/* The JPEG into the caller's `buffer` of `capacity` bytes; `*length` gets
 * its length. When it does not fit, nothing is copied, `*length` gets the
 * size needed and the status is RAWLIFT_ERROR_BUFFER_TOO_SMALL (a NULL
 * buffer with capacity 0 asks for the size). */
RAWLIFT_API rawlift_status rawlift_copy_jpeg(rawlift_file* file,
                                             const rawlift_jpeg_options* options, void* buffer,
                                             size_t capacity, size_t* length);

/* Frees a block from rawlift_get_jpeg or rawlift_thumbnail. NULL is accepted. */
RAWLIFT_API void rawlift_free(void* block);

/* ---- Thumbnails ------------------------------------------------------- */

/* The largest thumbnail size accepted. */
#define RAWLIFT_MAX_THUMBNAIL_SIZE 4096

/* A thumbnail of the file within `size` by `size` pixels (1 to
 * RAWLIFT_MAX_THUMBNAIL_SIZE; proportions kept, never enlarged), turned
 * upright as the camera was held: the embedded JPEG that best covers the
 * size, decoded in reduced size and resampled. `*pixels` gets
 * `*width` * `*height` * 3 bytes of 8-bit RGB, rows top to bottom without
 * padding, which the caller frees with rawlift_free(). Converted files
 * (DNGs written by a raw converter) give their thumbnail too.
 * RAWLIFT_ERROR_NOT_IN_THIS_BUILD in the Windows build. */
RAWLIFT_API rawlift_status rawlift_thumbnail(rawlift_file* file, uint32_t size, uint8_t** pixels,
                                             uint32_t* width, uint32_t* height);

#ifdef __cplusplus
}
#endif

#endif /* RAWLIFT_RAWLIFT_H */
