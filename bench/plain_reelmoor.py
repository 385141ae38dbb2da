"""The video-site client's formatters, video-id search and channel listing in
plain Python: the baseline of bench_reelmoor.py."""
import logging
import re

logger = logging.getLogger("bench.plain_reelmoor")

MAIN = r"youtube\.com"
SHORT = r"youtu\.be"
WATCH = "https://www.youtube.com/watch?v="
PATTERNS = [
    rf"(?:https?://)?(?:www\.)?{MAIN}/watch\?v=([a-zA-Z0-9_-]{{11}})",
    rf"(?:https?://)?(?:www\.)?{SHORT}/([a-zA-Z0-9_-]{{11}})",
    rf"(?:https?://)?(?:www\.)?{MAIN}/embed/([a-zA-Z0-9_-]{{11}})",
]


class PyVideo:
    def __init__(self, video_id: str, title: str, channel: str, duration: str, view_count: str, url: str):
        self.video_id = video_id
        self.title = title
        self.channel = channel
        self.duration = duration
        self.view_count = view_count
        self.url = url


class PyChannel:
    def __init__(self, channel_id, name, url, subscriber_count, video_count, description="", subscriber_text="",
                 video_count_text=""):
        self.channel_id = channel_id
        self.name = name
        self.url = url
        self.subscriber_count = subscriber_count
        self.video_count = video_count
        self.description = description or ""
        self.subscriber_text = subscriber_text or ""
        self.video_count_text = video_count_text or ""


class PyClient:
    def extract_video_id(self, url):
        for pattern in PATTERNS:
            match = re.search(pattern, url)
            if match:
                return match.group(1)
        return None

    def _normalize_channel_identifier(self, identifier):
        ident = (identifier or "").strip()
        if not ident:
            return ""
        if ident.startswith("@"):
            return f"https://www.youtube.com/{ident}"
        if ident.startswith(("http://", "https://")):
            return ident
        if ident.startswith("youtube.com"):
            return f"https://{ident}"
        if ident.startswith("UC"):
            return f"https://www.youtube.com/channel/{ident}"
        return f"https://www.youtube.com/{ident.lstrip('/')}"

    def _format_duration(self, seconds):
        if seconds is None or seconds == 0:
            return "0:00"
        try:
            seconds = int(float(seconds))
            hours = seconds // 3600
            minutes = (seconds % 3600) // 60
            secs = seconds % 60
            if hours > 0:
                return f"{hours}:{minutes:02d}:{secs:02d}"
            return f"{minutes}:{secs:02d}"
        except (ValueError, TypeError):
            return "0:00"

    def _format_view_count(self, view_count):
        if view_count is None:
            return "0"
        try:
            if isinstance(view_count, str):
                view_count = view_count.replace(",", "")
            count = int(float(view_count))
            if count >= 1000000:
                return f"{count / 1000000:.1f}M"
            if count >= 1000:
                return f"{count / 1000:.1f}K"
            return str(count)
        except (ValueError, TypeError):
            return "0"

    def _format_count(self, value):
        if value is None:
            return ""
        try:
            return self._format_view_count(value)
        except Exception:
            return ""

    def get_channel_videos(self, identifier, max_results=20, offset=0):
        if not identifier:
            return None
        try:
            import yt_dlp

            channel_url = self._normalize_channel_identifier(identifier)
            videos_url = channel_url.rstrip("/") + "/videos"
            opts = {"quiet": True, "no_warnings": True, "extract_flat": True, "skip_download": True}
            with yt_dlp.YoutubeDL(opts) as ydl:
                info = ydl.extract_info(videos_url, download=False)
            if not info:
                logger.error(f"No information returned for channel: {identifier}")
                return None
            channel = PyChannel(
                channel_id=info.get("channel_id", info.get("id", "")),
                name=info.get("title", info.get("channel", "Unknown Channel")),
                url=channel_url,
                subscriber_count=info.get("channel_follower_count"),
                video_count=info.get("channel_video_count"),
                description=info.get("description", ""),
                subscriber_text=self._format_count(info.get("channel_follower_count")),
                video_count_text=self._format_count(info.get("channel_video_count")),
            )
            videos = []
            processed_count = 0
            for entry in info.get("entries", []):
                if not entry:
                    continue
                video_id = entry.get("id")
                if not video_id:
                    continue
                if processed_count < offset:
                    processed_count += 1
                    continue
                videos.append(PyVideo(
                    video_id=video_id,
                    title=entry.get("title", "Unknown Title"),
                    channel=entry.get("uploader", entry.get("channel", channel.name)),
                    duration=self._format_duration(entry.get("duration", entry.get("duration_seconds"))),
                    view_count=self._format_view_count(entry.get("view_count")),
                    url=f"{WATCH}{video_id}",
                ))
                processed_count += 1
                if len(videos) >= max_results:
                    break
            logger.info("Loaded %s videos for channel '%s' (offset=%s)", len(videos), channel.name, offset)
            return channel, videos
        except ImportError:
            logger.error("yt-dlp not installed")
            return None
        except Exception as e:
            logger.error(f"Error loading channel videos for '{identifier}': {e}", exc_info=True)
            return None
