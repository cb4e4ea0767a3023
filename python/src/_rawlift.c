/* rawlift._rawlift: the C API of librawlift for Python, on the stable ABI.
 *
 * One type, Handle, wraps a rawlift_file. The engine runs with the GIL
 * released; a lock per handle keeps two threads that share one Python
 * object from using its rawlift_file at once (the library wants one thread
 * per handle at a time). Failures raise rawlift.Error(code, text), the class
 * defined in rawlift/_error.py.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>
#include <rawlift/rawlift.h>

/* PyObject_HEAD is a declaration of its own. */
/* clang-format off */
typedef struct {
  PyObject_HEAD
  rawlift_file* file;
  PyObject* keep; /* the bytes object a memory handle reads */
  PyThread_type_lock lock;
} Handle;
/* clang-format on */

typedef struct {
  PyObject* error_class; /* rawlift.Error */
  PyObject* handle_type;
} ModuleState;

static ModuleState* StateOf(PyObject* module) {
  return (ModuleState*)PyModule_GetState(module);
}

static PyObject* the_module = NULL; /* borrowed; set at import */

static PyObject* RaiseStatus(int status) {
  ModuleState* state = StateOf(the_module);
  PyObject* args = Py_BuildValue("(is)", status, rawlift_error_text(status));
  if (args != NULL) {
    PyErr_SetObject(state->error_class, args);
    Py_DECREF(args);
  }
  return NULL;
}

static void HandleDealloc(PyObject* self) {
  Handle* h = (Handle*)self;
  PyTypeObject* type = Py_TYPE(self);
  rawlift_close(h->file);
  h->file = NULL;
  Py_XDECREF(h->keep);
  if (h->lock != NULL) PyThread_free_lock(h->lock);
  freefunc tp_free = (freefunc)PyType_GetSlot(type, Py_tp_free);
  tp_free(self);
  Py_DECREF(type);
}

static Handle* NewHandle(void) {
  ModuleState* state = StateOf(the_module);
  PyTypeObject* type = (PyTypeObject*)state->handle_type;
  allocfunc alloc = (allocfunc)PyType_GetSlot(type, Py_tp_alloc);
  Handle* h = (Handle*)alloc(type, 0);
  if (h == NULL) return NULL;
  h->file = NULL;
  h->keep = NULL;
  h->lock = PyThread_allocate_lock();
  if (h->lock == NULL) {
    Py_DECREF(h);
    PyErr_NoMemory();
    return NULL;
  }
  return h;
}

/* Runs `statement` on the handle's file with the GIL released and the
 * handle's lock held; the lock stays held (and `file` valid) until
 * UNLOCK_FILE, so results can be turned into Python objects from the
 * file's own memory. The lock is only ever waited for without the GIL. A
 * closed handle runs nothing and sets `status` to kClosed. */
enum { kClosed = -1 };
/* The GIL's macros open and close a block. */
/* clang-format off */
#define RUN_LOCKED(h, file, statement)           \
  rawlift_file* file = NULL;                     \
  Py_BEGIN_ALLOW_THREADS                         \
  PyThread_acquire_lock((h)->lock, WAIT_LOCK);   \
  file = (h)->file;                              \
  if (file != NULL) {                            \
    statement;                                   \
  } else {                                       \
    status = kClosed;                            \
  }                                              \
  Py_END_ALLOW_THREADS
#define UNLOCK_FILE(h) PyThread_release_lock((h)->lock)
/* clang-format on */

/* Raises for a status that is not RAWLIFT_OK; always NULL. */
static PyObject* RaiseFor(int status) {
  if (status == kClosed) {
    PyErr_SetString(PyExc_ValueError, "the file is closed");
    return NULL;
  }
  return RaiseStatus(status);
}

/* open_path(path: bytes) -> Handle */
static PyObject* OpenPath(PyObject* module, PyObject* arg) {
  (void)module;
  char* path = NULL;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(arg, &path, &length) < 0) return NULL;
  if ((size_t)length != strlen(path)) {
    PyErr_SetString(PyExc_ValueError, "the path holds a NUL byte");
    return NULL;
  }
  Handle* h = NewHandle();
  if (h == NULL) return NULL;
  int status;
  Py_INCREF(arg); /* the path's bytes stay put while the GIL is released */
  /* clang-format off */
  Py_BEGIN_ALLOW_THREADS
  status = rawlift_open_path(path, &h->file);
  Py_END_ALLOW_THREADS
      /* clang-format on */
      Py_DECREF(arg);
  if (status != RAWLIFT_OK) {
    Py_DECREF(h);
    return RaiseStatus(status);
  }
  return (PyObject*)h;
}

/* open_bytes(data: bytes) -> Handle; the handle keeps the bytes object. */
static PyObject* OpenBytes(PyObject* module, PyObject* arg) {
  (void)module;
  char* data = NULL;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(arg, &data, &length) < 0) return NULL;
  Handle* h = NewHandle();
  if (h == NULL) return NULL;
  const int status = rawlift_open_memory(data, (size_t)length, &h->file);
  if (status != RAWLIFT_OK) {
    Py_DECREF(h);
    return RaiseStatus(status);
  }
  Py_INCREF(arg);
  h->keep = arg;
  return (PyObject*)h;
}

static PyObject* HandleClose(PyObject* self, PyObject* unused) {
  (void)unused;
  Handle* h = (Handle*)self;
  /* Closing frees memory and a descriptor: quick enough to do under the GIL
   * when no other thread holds the file, which spares a switch of the GIL
   * per file when threads open and close files side by side. */
  if (PyThread_acquire_lock(h->lock, NOWAIT_LOCK)) {
    rawlift_file* file = h->file;
    h->file = NULL;
    rawlift_close(file);
    UNLOCK_FILE(h);
  } else {
    int status = RAWLIFT_OK;
    RUN_LOCKED(h, file, (h->file = NULL, rawlift_close(file)));
    UNLOCK_FILE(h);
    (void)status;
  }
  Py_CLEAR(h->keep);
  Py_RETURN_NONE;
}

/* describe() -> dict of the description's fields */
static PyObject* HandleDescribe(PyObject* self, PyObject* unused) {
  (void)unused;
  Handle* h = (Handle*)self;
  rawlift_description d;
  memset(&d, 0, sizeof d);
  d.struct_size = sizeof d;
  int status;
  RUN_LOCKED(h, file, status = rawlift_describe(file, &d));
  if (status != RAWLIFT_OK) {
    UNLOCK_FILE(h);
    return RaiseFor(status);
  }
  PyObject* result = Py_BuildValue(
      "{s:s,s:s,s:s,s:s,s:s,s:L,s:i,s:d,s:d,s:d,s:d,s:O,s:i,s:s,s:n,s:i}", "make", d.make, "model",
      d.model, "model2", d.model2, "artist", d.artist, "description", d.description, "timestamp",
      (long long)d.timestamp, "exif_orientation", d.exif_orientation, "iso_speed",
      (double)d.iso_speed, "shutter", (double)d.shutter, "aperture", (double)d.aperture,
      "focal_length", (double)d.focal_length, "raw", d.raw ? Py_True : Py_False, "reason", d.reason,
      "reason_text", d.reason_text, "image_count", (Py_ssize_t)d.image_count, "extraction_choice",
      d.extraction_choice);
  UNLOCK_FILE(h);
  return result;
}

static PyObject* ImageList(rawlift_file* file, size_t count);

/* images() -> list of dicts, one per embedded image */
static PyObject* HandleImages(PyObject* self, PyObject* unused) {
  (void)unused;
  Handle* h = (Handle*)self;
  size_t count = 0;
  int status;
  RUN_LOCKED(h, file, status = rawlift_image_count(file, &count));
  PyObject* list = status == RAWLIFT_OK ? ImageList(file, count) : RaiseFor(status);
  UNLOCK_FILE(h);
  return list;
}

/* The list of `count` images of `file`, identified already. */
static PyObject* ImageList(rawlift_file* file, size_t count) {
  int status;
  PyObject* list = PyList_New(0);
  if (list == NULL) return NULL;
  for (size_t i = 0; i < count; ++i) {
    rawlift_image image;
    memset(&image, 0, sizeof image);
    image.struct_size = sizeof image;
    /* From memory: identification ran above. */
    status = rawlift_image_at(file, i, &image);
    if (status != RAWLIFT_OK) {
      Py_DECREF(list);
      return RaiseStatus(status);
    }
    PyObject* item = Py_BuildValue(
        "{s:s,s:s,s:K,s:K,s:k,s:k,s:O,s:O}", "where", image.where, "kind", image.kind_name,
        "offset", (unsigned long long)image.offset, "length", (unsigned long long)image.length,
        "width", (unsigned long)image.width, "height", (unsigned long)image.height, "complete",
        image.complete ? Py_True : Py_False, "own_exif", image.own_exif ? Py_True : Py_False);
    if (item == NULL || PyList_Append(list, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return NULL;
    }
    Py_DECREF(item);
  }
  return list;
}

/* A bytes object holding the library's `block` of `length` bytes, which it
 * frees. A preview is megabytes: the copy runs without the GIL, so threads
 * extracting side by side do not queue for it. */
static PyObject* BytesTakingBlock(uint8_t* block, size_t length) {
  PyObject* bytes = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)length);
  if (bytes != NULL) {
    char* into = PyBytes_AsString(bytes);
    /* clang-format off */
    Py_BEGIN_ALLOW_THREADS
    memcpy(into, block, length);
    Py_END_ALLOW_THREADS
    /* clang-format on */
  }
  rawlift_free(block);
  return bytes;
}

/* jpeg(cover: int, metadata: int, accept_converted: bool) -> bytes */
static PyObject* HandleJpeg(PyObject* self, PyObject* args) {
  Handle* h = (Handle*)self;
  unsigned long cover = 0;
  int metadata = 0, accept_converted = 0;
  if (!PyArg_ParseTuple(args, "kip", &cover, &metadata, &accept_converted)) return NULL;
  rawlift_jpeg_options options;
  memset(&options, 0, sizeof options);
  options.struct_size = sizeof options;
  options.cover = cover > 0xFFFFFFFFul ? 0xFFFFFFFFu : (uint32_t)cover;
  options.metadata = metadata;
  options.accept_converted = accept_converted;
  uint8_t* jpeg = NULL;
  size_t length = 0;
  int status;
  RUN_LOCKED(h, file, status = rawlift_get_jpeg(file, &options, &jpeg, &length));
  UNLOCK_FILE(h);
  if (status != RAWLIFT_OK) return RaiseFor(status);
  return BytesTakingBlock(jpeg, length);
}

/* thumbnail(size: int) -> (width, height, rgb bytes) */
static PyObject* HandleThumbnail(PyObject* self, PyObject* args) {
  Handle* h = (Handle*)self;
  unsigned long size = 0;
  if (!PyArg_ParseTuple(args, "k", &size)) return NULL;
  if (size > RAWLIFT_MAX_THUMBNAIL_SIZE) size = RAWLIFT_MAX_THUMBNAIL_SIZE + 1;
  uint8_t* pixels = NULL;
  uint32_t width = 0, height = 0;
  int status;
  RUN_LOCKED(h, file, status = rawlift_thumbnail(file, (uint32_t)size, &pixels, &width, &height));
  UNLOCK_FILE(h);
  if (status != RAWLIFT_OK) return RaiseFor(status);
  PyObject* result = Py_BuildValue("(kky#)", (unsigned long)width, (unsigned long)height,
                                   (const char*)pixels, (Py_ssize_t)width * height * 3);
  rawlift_free(pixels);
  return result;
}

static PyMethodDef handle_methods[] = {
    {"close", HandleClose, METH_NOARGS, "Closes the file; later calls raise ValueError."},
    {"describe", HandleDescribe, METH_NOARGS, "The camera description as a dict."},
    {"images", HandleImages, METH_NOARGS, "The embedded images as dicts."},
    {"jpeg", HandleJpeg, METH_VARARGS, "jpeg(cover, metadata, accept_converted) -> bytes"},
    {"thumbnail", HandleThumbnail, METH_VARARGS, "thumbnail(size) -> (width, height, rgb)"},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot handle_slots[] = {
    {Py_tp_dealloc, (void*)HandleDealloc},
    {Py_tp_methods, handle_methods},
    {Py_tp_doc, (void*)"An open camera file (use rawlift.open)."},
    {0, NULL},
};

static PyType_Spec handle_spec = {
    "rawlift._rawlift.Handle", sizeof(Handle), 0, Py_TPFLAGS_DEFAULT, handle_slots,
};

static PyObject* LibraryVersion(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  const char* text = NULL;
  rawlift_version(&text);
  return PyUnicode_FromString(text);
}

static PyObject* ReuseLargeAllocations(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  rawlift_reuse_large_allocations();
  Py_RETURN_NONE;
}

static PyObject* ReasonText(PyObject* module, PyObject* arg) {
  (void)module;
  const long reason = PyLong_AsLong(arg);
  if (reason == -1 && PyErr_Occurred()) return NULL;
  return PyUnicode_FromString(rawlift_reason_text((int)reason));
}

static PyMethodDef module_methods[] = {
    {"open_path", OpenPath, METH_O, "open_path(path: bytes) -> Handle"},
    {"open_bytes", OpenBytes, METH_O, "open_bytes(data: bytes) -> Handle"},
    {"library_version", LibraryVersion, METH_NOARGS, "The shared library's version text."},
    {"reason_text", ReasonText, METH_O, "reason_text(code) -> str"},
    {"reuse_large_allocations", ReuseLargeAllocations, METH_NOARGS,
     "Keeps freed multi-megabyte blocks in the heap (process-wide)."},
    {NULL, NULL, 0, NULL},
};

static int ModuleTraverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = StateOf(module);
  Py_VISIT(state->error_class);
  Py_VISIT(state->handle_type);
  return 0;
}

static int ModuleClear(PyObject* module) {
  ModuleState* state = StateOf(module);
  Py_CLEAR(state->error_class);
  Py_CLEAR(state->handle_type);
  return 0;
}

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "rawlift._rawlift", "The C API of librawlift; use the rawlift package.",
    sizeof(ModuleState),   module_methods,     NULL,
    ModuleTraverse,        ModuleClear,        NULL,
};

PyMODINIT_FUNC PyInit__rawlift(void) {
  PyObject* module = PyModule_Create(&module_def);
  if (module == NULL) return NULL;
  ModuleState* state = StateOf(module);
  PyObject* errors = PyImport_ImportModule("rawlift._error");
  if (errors == NULL) goto fail;
  state->error_class = PyObject_GetAttrString(errors, "Error");
  Py_DECREF(errors);
  if (state->error_class == NULL) goto fail;
  state->handle_type = PyType_FromSpec(&handle_spec);
  if (state->handle_type == NULL) goto fail;
  Py_INCREF(state->handle_type);
  if (PyModule_AddObject(module, "Handle", state->handle_type) < 0) {
    Py_DECREF(state->handle_type);
    goto fail;
  }
  the_module = module;
  return module;
fail:
  Py_DECREF(module);
  return NULL;
}
