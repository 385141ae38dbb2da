"""Offline proof that the client speaks yt-dlp's language for the video
site: every address and search expression it hands to yt-dlp, and every
address it puts in a record, is claimed by the extractor of the installed
yt-dlp that YoutubeDL would pick (the first whose suitable() accepts it);
the watch links it recognises are the ones the video extractor takes; and a
channel entry as yt-dlp's own results-page parser makes it is read as the
flat channel entry it is."""
import pytest
import yt_dlp
from yt_dlp.extractor import gen_extractor_classes, get_info_extractor
from yt_dlp.utils import parse_qs

from site_names import BASE, CHANNEL_IE_KEY, MAIN_HOST, SEARCH_PREFIX, SHORT_HOST, watch

VIDEO_ID = "dQw4w9WgXcQ"
CHANNEL_ID = "UCuAXFkgsw1L7xaCfnd5JJOw"


def first_claimant(address):
    return next(ie.ie_key() for ie in gen_extractor_classes() if ie.suitable(address))


def asked(ydl):
    """The address of the last extract_info call."""
    return [call[1][0] for call in ydl.calls if call[0] == "extract_info"][-1]


@pytest.mark.parametrize("operation, extractor", [
    (lambda c: c.search_videos("lo-fi beats", 5, 10), "YoutubeSearch"),
    (lambda c: c.search_channels("lo-fi & beats"), "YoutubeSearchURL"),
    (lambda c: c.get_channel_videos("@SomeHandle"), "YoutubeTab"),
    (lambda c: c.get_channel_videos(CHANNEL_ID), "YoutubeTab"),
    (lambda c: c.get_channel_videos("c/custom"), "YoutubeTab"),
    (lambda c: c.get_channel_videos("/user/someone"), "YoutubeTab"),
    (lambda c: c.get_channel_videos("barename"), "YoutubeTab"),
    (lambda c: c.get_channel_videos(f"{MAIN_HOST}/c/custom"), "YoutubeTab"),
    (lambda c: c.get_channel_videos(f"{BASE}@SomeHandle/"), "YoutubeTab"),
], ids=["video search", "channel search", "handle", "channel id", "custom path", "user path", "bare name",
        "host without scheme", "address with slash"])
def test_yt_dlp_claims_what_the_client_asks_for(ydl, client, operation, extractor):
    operation(client)
    assert first_claimant(asked(ydl)) == extractor


def test_yt_dlp_reads_the_search_back(ydl, client):
    client.search_videos("lo-fi beats", 5, 10)
    search = get_info_extractor("YoutubeSearch")
    assert search._match_valid_url(asked(ydl)).group("prefix", "query") == ("15", "lo-fi beats")

    client.search_channels("lo-fi & beats")
    query = parse_qs(asked(ydl))
    assert (query["search_query"], query["sp"]) == (["lo-fi & beats"], ["EgIQAg=="])


def test_yt_dlp_claims_the_addresses_in_records(ydl, client):
    ydl.answer(f"{SEARCH_PREFIX}1:x", {"entries": [{"id": VIDEO_ID}]})
    (video,) = client.search_videos("x", 1)
    by_id = client._build_channel_from_entry({"channel_id": CHANNEL_ID})
    by_name = client._build_channel_from_entry({"uploader": "Two Words"})
    addresses = [video.url, by_id.url, by_name.url]
    assert addresses == [watch(VIDEO_ID), f"{BASE}channel/{CHANNEL_ID}", f"{BASE}@TwoWords"]
    assert [first_claimant(a) for a in addresses] == ["Youtube", "YoutubeTab", "YoutubeTab"]


@pytest.mark.parametrize("link", [
    f"https://www.{MAIN_HOST}/watch?v={VIDEO_ID}",
    f"{MAIN_HOST}/watch?v={VIDEO_ID}",
    f"https://{SHORT_HOST}/{VIDEO_ID}",
    f"http://{SHORT_HOST}/{VIDEO_ID}?t=3",
    f"https://www.{MAIN_HOST}/embed/{VIDEO_ID}",
])
def test_the_links_the_client_recognises_are_videos_to_yt_dlp(client, link):
    # (yt-dlp does not take the short-link host with "www." before it; the
    # client recognises that form too but never builds it.)
    assert client.is_valid_reelmoor_url(link)
    video = get_info_extractor("Youtube")
    address = link if "://" in link else "https://" + link
    assert first_claimant(address) == "Youtube" and video.get_temp_id(address) == client.extract_video_id(link)


def test_a_channel_entry_of_yt_dlp_is_read_as_flat(client):
    tab = get_info_extractor(CHANNEL_IE_KEY)
    parser = tab(yt_dlp.YoutubeDL({"quiet": True}))
    entry = parser._extract_channel_renderer({
        "channelId": CHANNEL_ID,
        "title": {"simpleText": "Chan"},
        "subscriberCountText": {"simpleText": "1.2M subscribers"},
    })
    assert entry["ie_key"] == tab.ie_key() == CHANNEL_IE_KEY
    # A flat entry takes its id before channel_id: tell them apart.
    entry["channel_id"] = "UCother"
    channel = client._build_channel_from_entry(entry)
    assert (channel.channel_id, channel.name, channel.url, channel.subscriber_text) == (
        CHANNEL_ID, "Chan", f"{BASE}channel/{CHANNEL_ID}", "1.2M")
