"""An error that begins in our C++ code carries a traceback frame naming the
function (its qualname) and the C++ source that defines it, as compiled
extensions show their own frames; an error of the call's arguments has none,
as with a Python def."""
import traceback

import pytest

from core import downloader, quietshelf_client, reelmoor
from native_frames import native_frames


def frames_of(error):
    return native_frames("".join(traceback.format_exception(error)))


@pytest.mark.parametrize("call, kind, frames", [
    (lambda: reelmoor.ReelmoorClient()._format_duration(10**400), OverflowError,
     [("src/reelmoor/formatters.cpp", "ReelmoorClient._format_duration")]),
    (lambda: downloader.DownloadProgress().update("x", 5), TypeError,
     [("src/downloader/task_model.cpp", "DownloadProgress.update")]),
    # Raised by the body itself, not by the binding.
    (lambda: quietshelf_client.QuietshelfClient().download("u", 5), TypeError,
     [("src/quietshelf_client/files.cpp", "QuietshelfClient.download")]),
])
def test_an_error_leaving_a_native_function_carries_its_frame(call, kind, frames):
    with pytest.raises(kind) as caught:
        call()
    assert frames_of(caught.value) == frames
    # The caller's own frame stays first, as for any call.
    assert traceback.extract_tb(caught.value.__traceback__)[0].filename == __file__


@pytest.mark.parametrize("call", [
    lambda: downloader.DownloadTask(),
    lambda: downloader.BaseDownloader.generate_safe_filename("a", 5),
    lambda: downloader.DownloadProgress().update(1, 2, nonsense=3),
])
def test_argument_errors_have_no_native_frame(call):
    with pytest.raises(TypeError) as caught:
        call()
    assert frames_of(caught.value) == []


def test_the_frame_follows_a_changed_qualname(monkeypatch):
    method = reelmoor.ReelmoorClient._format_duration
    for name in ["Renamed.duration", "Odd\udc80name"]:
        monkeypatch.setattr(method, "__qualname__", name)
        with pytest.raises(OverflowError) as caught:
            method(reelmoor.ReelmoorClient(), 10**400)
        assert traceback.extract_tb(caught.value.__traceback__)[-1].name == name
