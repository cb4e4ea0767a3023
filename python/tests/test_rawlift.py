"""The rawlift module over the demo folder of the fixture builder and the
real samples: its JPEG bytes against `rawlift preview`, its description and
verdicts against `rawlift identify --json`, threads against one thread, and
its error paths. The environment names the built tools:
  RAWLIFT_COMMAND        the rawlift command
  RAWLIFT_MAKE_DEMO      make_demo_folder of the fixture builder
  RAWLIFT_SAMPLES_DIR    real camera files (their tests skip when absent)
  RAWLIFT_README         README.md, whose Python example is run
"""
import concurrent.futures
import json
import os
import re
import subprocess
import sys

import pytest

import rawlift

COMMAND = os.environ.get("RAWLIFT_COMMAND", "rawlift")
SAMPLES = os.environ.get("RAWLIFT_SAMPLES_DIR", "")


@pytest.fixture(scope="session")
def demo_folder(tmp_path_factory):
    maker = os.environ.get("RAWLIFT_MAKE_DEMO")
    if not maker:
        pytest.skip("RAWLIFT_MAKE_DEMO names no demo folder maker")
    folder = tmp_path_factory.mktemp("demo")
    subprocess.run([maker, str(folder)], check=True, stdout=subprocess.DEVNULL)
    return sorted(str(path) for path in folder.iterdir() if path.is_file())


def sample_files():
    if not SAMPLES or not os.path.isdir(SAMPLES):
        return []
    found = []
    for root, _, names in os.walk(SAMPLES):
        found += [os.path.join(root, n) for n in names if n != "MANIFEST.tsv"]
    return sorted(found)


def command_preview(path, tmp_path, metadata="compact"):
    out = tmp_path / "preview.jpg"
    if out.exists():
        out.unlink()
    done = subprocess.run([COMMAND, "preview", path, "-o", str(out), "--metadata", metadata],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out.read_bytes() if done.returncode == 0 else None


def module_preview(path, metadata="compact"):
    with rawlift.open(path) as raw:
        try:
            return raw.jpeg(metadata=metadata)
        except rawlift.Error as error:
            assert error.code == rawlift.STATUS_NO_PREVIEW
            assert error.reason_text == raw.reason
            return None


def identify(paths):
    out = subprocess.run([COMMAND, "identify", "--json"] + paths, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True).stdout
    return [json.loads(line) for line in out.splitlines()]


def check_against_the_command(paths, tmp_path):
    for path in paths:
        for metadata in ("compact", "complete"):
            assert module_preview(path, metadata) == command_preview(path, tmp_path, metadata), (
                path, metadata)
    for path, report in zip(paths, identify(paths)):
        with rawlift.open(path) as raw:
            described = raw.description
            assert described.make == (report["make"] or ""), path
            assert described.model == (report["model"] or ""), path
            assert described.exif_orientation == (report["exif_orientation"] or 1), path
            assert described.timestamp == (report["timestamp"] or 0), path
            assert (raw.reason is None) == report["extractable"], path
            if not report["extractable"]:
                assert raw.reason == report["reason"], path
            if isinstance(report.get("images"), list):  # the command lists the embedded images
                # Compared on every key the command's entries share with
                # EmbeddedImage's fields.
                assert len(raw.images) == len(report["images"]), path
                for mine, listed in zip(raw.images, report["images"]):
                    shared = [k for k in rawlift.EmbeddedImage._fields if k in listed]
                    assert [getattr(mine, k) for k in shared] == [listed[k] for k in shared], path


def test_demo_files_agree_with_the_command(demo_folder, tmp_path):
    check_against_the_command(demo_folder, tmp_path)


def test_samples_agree_with_the_command(tmp_path):
    samples = sample_files()
    if not samples:
        pytest.skip("no real samples")
    check_against_the_command(samples, tmp_path)


def test_bytes_and_paths_give_the_same(demo_folder):
    for path in demo_folder:
        with open(path, "rb") as f:
            data = f.read()
        by_path, by_bytes, by_array = (rawlift.open(path), rawlift.open(data),
                                       rawlift.open(bytearray(data)))
        for raw in (by_bytes, by_array):
            assert raw.description == by_path.description, path
            assert raw.images == by_path.images, path
            assert raw.reason == by_path.reason, path
        if by_path.reason is None:
            assert by_bytes.jpeg() == by_path.jpeg() == by_array.jpeg(), path
            assert by_bytes.thumbnail(96) == by_path.thumbnail(96), path


def test_threads_give_the_same_answers(demo_folder):
    def answers(path):
        with rawlift.open(path) as raw:
            try:
                return raw.jpeg(), raw.thumbnail(64), raw.images
            except rawlift.Error as error:
                return error.code, error.reason
    alone = [answers(path) for path in demo_folder]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            assert list(pool.map(answers, demo_folder)) == alone
    # One RawFile shared by threads: calls take turns and agree.
    shared = rawlift.open(demo_folder[0])
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda _: shared.thumbnail(48), range(16)))
    assert all(result == results[0] for result in results)


def test_thumbnails_and_images_are_upright(demo_folder):
    checked = 0
    for path in demo_folder:
        raw = rawlift.open(path)
        if raw.reason is not None:
            continue
        width, height, rgb = raw.thumbnail(100)
        assert max(width, height) <= 100 and len(rgb) == width * height * 3, path
        full = raw.image()
        # The full preview turned as the thumbnail is: the same proportions.
        assert (full.width > full.height) == (width > height), path
        small = raw.image(100)
        assert small.size == (width, height) and small.tobytes() == rgb, path
        checked += 1
    assert checked > 0


# Guards: each wrong argument or closed file raises the documented error
# instead of reaching the library with a value it refuses or a freed handle.
@pytest.mark.parametrize("call", [
    lambda raw: raw.thumbnail(0),
    lambda raw: raw.thumbnail(rawlift.MAX_THUMBNAIL_SIZE + 1),
    lambda raw: raw.jpeg(metadata="all"),
    lambda raw: raw.jpeg(size=-1),
])
def test_wrong_arguments(demo_folder, call):
    raw = rawlift.open(demo_folder[0])
    with pytest.raises(ValueError):
        call(raw)


def test_errors(demo_folder, tmp_path):
    for path, code in [(str(tmp_path / "missing.nef"), rawlift.STATUS_CANNOT_OPEN),
                       (str(tmp_path), rawlift.STATUS_CANNOT_OPEN)]:
        with pytest.raises(rawlift.Error) as caught:
            rawlift.open(path)
        assert caught.value.code == code and caught.value.text
    with pytest.raises(ValueError):
        rawlift.open("a\0b")
    # Not a camera file: an exception from every call that gives a picture.
    raw = rawlift.open(b"plain text, no camera file")
    assert raw.reason == "not a camera raw file: unknown container" and not raw.raw
    for call in (raw.jpeg, lambda: raw.thumbnail(64), raw.image):
        with pytest.raises(rawlift.Error) as caught:
            call()
        assert caught.value.code == rawlift.STATUS_NO_PREVIEW
        assert caught.value.reason_text == raw.reason
    raw.close()
    raw.close()
    with pytest.raises(ValueError):
        raw.jpeg()
    # Cut short: every cut of a demo file gives a JPEG or the exception.
    with open(demo_folder[0], "rb") as f:
        data = f.read()
    for cut in range(0, len(data), max(1, len(data) // 200)):
        raw = rawlift.open(data[:cut])
        try:
            assert raw.jpeg()[:2] == b"\xff\xd8"
        except rawlift.Error as error:
            assert error.code == rawlift.STATUS_NO_PREVIEW


def test_the_readme_example(demo_folder, tmp_path):
    readme = os.environ.get("RAWLIFT_README")
    if not readme:
        pytest.skip("RAWLIFT_README is not set")
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("## Library"):]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    script = tmp_path / "example.py"
    script.write_text(example)
    raw_files = [p for p in demo_folder if rawlift.open(p).reason is None]
    done = subprocess.run([sys.executable, str(script)] + raw_files[:2], cwd=str(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert done.returncode == 0, done.stderr
    written = sorted(p.name for p in tmp_path.iterdir() if p.suffix == ".jpg")
    assert len(written) == 2, (written, done.stdout)
