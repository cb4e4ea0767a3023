"""Builds the rawlift module: the package and its extension _rawlift, on
the stable ABI of CPython 3.7 and later (one build serves every Python 3
from 3.7 on), linked with the shared library librawlift.

Where librawlift is found, first match wins:
  RAWLIFT_INCLUDE_DIR and RAWLIFT_LIBRARY_DIR  a build tree or any prefix
                                               (the library's folder goes
                                               into the module's run path)
  pkg-config rawlift                           an installed librawlift-dev
                                               or `cmake --install`
  the compiler's own search paths              /usr, /usr/local
"""
import os
import shutil
import subprocess

from setuptools import Extension, setup

include_dirs, library_dirs, runtime_dirs = [], [], []
if os.environ.get("RAWLIFT_LIBRARY_DIR"):
    include_dirs.append(os.environ.get("RAWLIFT_INCLUDE_DIR", ""))
    library_dirs.append(os.environ["RAWLIFT_LIBRARY_DIR"])
    runtime_dirs.append(os.environ["RAWLIFT_LIBRARY_DIR"])
elif shutil.which("pkg-config"):
    try:
        flags = subprocess.run(["pkg-config", "--cflags-only-I", "--libs-only-L", "rawlift"],
                               check=True, capture_output=True, text=True).stdout.split()
    except subprocess.CalledProcessError:
        flags = []
    include_dirs += [f[2:] for f in flags if f.startswith("-I")]
    library_dirs += [f[2:] for f in flags if f.startswith("-L")]
    # A prefix outside the loader's paths (cmake --install --prefix ~/.local).
    runtime_dirs += [d for d in library_dirs if d not in ("/usr/lib", "/lib")]

setup(
    name="rawlift",
    version="1.0.0",
    description="The embedded JPEG previews of camera RAW files",
    packages=["rawlift"],
    package_data={"rawlift": ["py.typed", "*.pyi"]},
    python_requires=">=3.7",
    ext_modules=[
        Extension(
            "rawlift._rawlift",
            sources=["src/_rawlift.c"],
            include_dirs=[d for d in include_dirs if d],
            library_dirs=library_dirs,
            runtime_library_dirs=runtime_dirs,
            libraries=["rawlift"],
            define_macros=[("Py_LIMITED_API", "0x03070000")],
            py_limited_api=True,
        )
    ],
    options={"bdist_wheel": {"py_limited_api": "cp37"}},
    zip_safe=False,
)
