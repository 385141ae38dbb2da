"""The video site's names as the core holds them (src/common/video_site.hpp),
for the addresses the tests give and expect. The proof that yt-dlp claims
them is test_reelmoor_site_claims.py."""
MAIN_HOST = "youtube.com"
SHORT_HOST = "youtu.be"
BASE = f"https://www.{MAIN_HOST}/"
WATCH = BASE + "watch?v="
SEARCH_PREFIX = "ytsearch"
CHANNEL_IE_KEY = "YoutubeTab"


def watch(video_id):
    """The watch-page address of a video id."""
    return WATCH + video_id
