"""The engine's tables walked while the host's own objects run code: the
result is what the same loop in Python gives."""
from core import downloader as dl
from scripted_downloader import make_scripted  # noqa: F401 (a fixture)


class TaskId(str):
    """A task identifier that runs a hook once when it is found equal."""

    def __new__(cls, text, hook):
        task_id = super().__new__(cls, text)
        task_id.hook = hook
        return task_id

    def __eq__(self, other):
        equal = str.__eq__(self, other)
        if equal is True and self.hook:
            hook, self.hook = self.hook, None
            hook()
        return equal

    __hash__ = str.__hash__


def test_retry_takes_out_the_task_it_found_where_the_comparison_left_it(make_scripted):
    d = make_scripted(max_concurrent=0)
    a, b, c = (dl.DownloadTask(f"http://h/{n}", "f", n, "P", n) for n in "abc")
    for task in (a, b, c):
        d._move_to_failed(task)
    d.retry_failed(TaskId("b", lambda: d.failed_downloads.remove(a)))
    assert d.get_all_failed() == [c]
    assert [t.url for t in d.get_all_active()] == ["http://h/b"]
