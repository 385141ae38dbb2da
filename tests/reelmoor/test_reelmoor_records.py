"""ReelmoorVideo and ReelmoorChannel: their constructors, attributes in
order, text forms and text parameters."""
import inspect

import pytest

from core.reelmoor import ReelmoorChannel, ReelmoorVideo

VIDEO_FIELDS = ["video_id", "title", "channel", "duration", "view_count", "url"]
CHANNEL_FIELDS = ["channel_id", "name", "url", "subscriber_count", "video_count", "description",
                  "subscriber_text", "video_count_text"]


def test_signatures():
    assert str(inspect.signature(ReelmoorVideo.__init__)) == (
        "(self, video_id: str, title: str, channel: str, duration: str, view_count: str, url: str)")
    assert str(inspect.signature(ReelmoorChannel.__init__)) == (
        "(self, channel_id: str, name: str, url: str, subscriber_count: Optional[int], "
        "video_count: Optional[int], description: str = '', subscriber_text: str = '', "
        "video_count_text: str = '')")
    for cls in (ReelmoorVideo, ReelmoorChannel):
        assert str(inspect.signature(cls.__str__)) == "(self) -> str"
        assert [n for n in vars(cls) if not n.startswith("__") or n in ("__init__", "__str__")] == [
            "__init__", "__str__"]


def test_video_keeps_what_it_is_given():
    values = ["dQw4w9WgXcQ", "Intro", None, "3:05", "1.2K", "u\udcff"]
    video = ReelmoorVideo(*values)
    assert list(vars(video).items()) == list(zip(VIDEO_FIELDS, values))
    assert vars(ReelmoorVideo(**dict(zip(VIDEO_FIELDS, values)))) == vars(video)


@pytest.mark.parametrize("fields, text", [
    (("Intro", "Chan", "3:05", "1.2K"), "Intro by Chan (3:05) - 1.2K views"),
    ((None, "Chan", "0:00", "0"), "None by Chan (0:00) - 0 views"),
    (("", "", "", ""), " by  () -  views"),
    (("T\udc80", "C", "1:00", "5"), "T\udc80 by C (1:00) - 5 views"),
])
def test_video_text(fields, text):
    title, channel, duration, views = fields
    assert str(ReelmoorVideo("id", title, channel, duration, views, "url")) == text


def test_video_text_reads_the_attributes_of_the_moment():
    video = ReelmoorVideo("id", "Intro", "Chan", "3:05", "1.2K", "url")
    video.title, video.view_count = 7, None
    assert str(video) == "7 by Chan (3:05) - None views"


@pytest.mark.parametrize("given, kept", [
    ({}, ("", "", "")),
    ({"description": None, "subscriber_text": None, "video_count_text": None}, ("", "", "")),
    ({"description": "About", "subscriber_text": "1.2M", "video_count_text": "30"}, ("About", "1.2M", "30")),
])
def test_channel_texts_are_never_none(given, kept):
    channel = ReelmoorChannel("UCx", "Chan", "https://x", None, None, **given)
    assert list(vars(channel).items()) == list(zip(CHANNEL_FIELDS, ("UCx", "Chan", "https://x", None, None) + kept))


def test_channel_keeps_the_counts_and_the_first_texts_unchanged():
    channel = ReelmoorChannel(None, None, None, "12", 3.5)
    assert (channel.channel_id, channel.name, channel.url, channel.subscriber_count, channel.video_count) == (
        None, None, None, "12", 3.5)


@pytest.mark.parametrize("subscribers, text", [("1.2M", "Chan (1.2M subscribers)"), ("", "Chan ( subscribers)")])
def test_channel_text(subscribers, text):
    assert str(ReelmoorChannel("UCx", "Chan", "u", 1, 2, subscriber_text=subscribers)) == text


@pytest.mark.parametrize("cls, fields, text_positions, required", [
    (ReelmoorVideo, VIDEO_FIELDS, range(6), 6),
    (ReelmoorChannel, CHANNEL_FIELDS, [0, 1, 2, 5, 6, 7], 5),
])
def test_parameters(cls, fields, text_positions, required):
    good = ["x"] * len(fields)
    for position in text_positions:
        for wrong in (b"x", 1, ["x"]):
            args = good[:position] + [wrong] + good[position + 1:]
            with pytest.raises(TypeError, match=fields[position]):
                cls(*args)
    cls(*good[:required])
    with pytest.raises(TypeError, match=fields[required - 1]):
        cls(*good[:required - 1])
