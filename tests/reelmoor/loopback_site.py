"""The video site on loopback, for runs of the real yt-dlp offline.

- `served_audio` (fixture, once per session): a few seconds of sine made by
  FFmpeg as m4a (AAC), the bytes the site serves; `audio_codec(path)` is
  what ffprobe says a file holds.
- `AudioServer`: a ThreadingHTTPServer on 127.0.0.1 that serves byte bodies
  by path, with Range ("bytes=a-b" and "bytes=a-") and a request log of
  (method, path, Range header or None).
- `LoopbackSite`: the videos the site knows, by id. Its `YoutubeDL` is a
  subclass of the real yt_dlp.YoutubeDL whose first extractor claims the
  site's watch, short-link and embed addresses and answers with the video's
  information: its title, any extra fields given (chapters, uploader...) and
  one audio format ("140", m4a) at the served address. Everything after that
  is yt-dlp's own: format selection, its HTTP download, progress hooks and
  post-processors such as FFmpegExtractAudio. An id the site does not know
  raises yt-dlp's DownloadError ("Video unavailable"), never a request out.
- `loopback_site` (fixture): a started site with its server, installed as
  `yt_dlp.YoutubeDL` on the real package for the test.

    site.add("dQw4w9WgXcQ", title="Intro", uploader="Chan")
    with yt_dlp.YoutubeDL({"outtmpl": ...}) as ydl:
        ydl.download([site_names.watch("dQw4w9WgXcQ")])
"""
import re
import subprocess
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import yt_dlp
from yt_dlp.extractor.common import InfoExtractor
from yt_dlp.utils import ExtractorError

from site_names import MAIN_HOST, SHORT_HOST

SECONDS = 3
FORMAT_ID = "140"
RealYoutubeDL = yt_dlp.YoutubeDL  # taken before any test puts another in its place
_RANGE = re.compile(r"bytes=(\d+)-(\d*)$")


def make_sine_m4a(path, seconds=SECONDS):
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi",
                    "-i", f"sine=frequency=440:duration={seconds}", "-c:a", "aac", "-b:a", "96k", str(path)],
                   check=True, timeout=60)
    return path.read_bytes()


def audio_codec(path):
    """The codec of the file's first stream, as ffprobe names it."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
                            str(path)], capture_output=True, text=True, timeout=60, check=True)
    return probe.stdout.strip()


@pytest.fixture(scope="session")
def served_audio(tmp_path_factory):
    return make_sine_m4a(tmp_path_factory.mktemp("audio") / "sine.m4a")


class _Server(ThreadingHTTPServer):
    daemon_threads = True


class AudioServer:
    """`holds` maps a path to (n, event): its body stops after the first n
    bytes until the event is set."""

    def __init__(self):
        self.bodies = {}
        self.holds = {}
        self.log = []
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_HEAD(self):
                self._answer(send_body=False)

            def do_GET(self):
                self._answer(send_body=True)

            def _answer(self, send_body):
                asked = self.headers.get("Range")
                server.log.append((self.command, self.path, asked))
                body = server.bodies.get(self.path)
                if body is None:
                    return self._send(404, b"not found", "text/plain", send_body)
                match = _RANGE.match(asked or "")
                if not match:
                    return self._send(200, body, "audio/mp4", send_body)
                start = int(match[1])
                end = min(int(match[2]) if match[2] else len(body) - 1, len(body) - 1)
                if start >= len(body):
                    return self._send(416, b"", "audio/mp4", send_body, f"bytes */{len(body)}")
                return self._send(206, body[start:end + 1], "audio/mp4", send_body,
                                  f"bytes {start}-{end}/{len(body)}")

            def _send(self, status, body, content_type, send_body, content_range=None):
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Accept-Ranges", "bytes")
                if content_range:
                    self.send_header("Content-Range", content_range)
                self.end_headers()
                if not send_body:
                    return
                after, release = server.holds.get(self.path, (0, None))
                if release is not None and status in (200, 206):
                    self.wfile.write(body[:after])
                    self.wfile.flush()
                    release.wait(30)
                    body = body[after:]
                self.wfile.write(body)

        self.httpd = _Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        for _, release in self.holds.values():
            release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


_HOSTS = (rf"(?:{re.escape(MAIN_HOST)}/(?:watch\?v=|embed/)|{re.escape(SHORT_HOST)}/)")


class LoopbackSite:
    def __init__(self, server, audio):
        self.server = server
        self.audio = audio
        self.videos = {}
        site = self

        class LoopbackSiteIE(InfoExtractor):
            _VALID_URL = rf"(?:https?://)?(?:www\.)?{_HOSTS}(?P<id>[0-9A-Za-z_-]{{11}})"

            def _real_extract(self, url):
                video_id = self._match_id(url)
                if video_id not in site.videos:
                    raise ExtractorError("Video unavailable", expected=True, video_id=video_id)
                return site.info(video_id)

        class YoutubeDL(RealYoutubeDL):
            """The real downloader class, with the loopback site's extractor first."""

            def __init__(self, params=None, auto_init=True):
                super().__init__(params, auto_init)
                extractor = LoopbackSiteIE(self)
                key = extractor.ie_key()
                self._ies = {key: extractor, **self._ies}
                self._ies_instances[key] = extractor

        self.YoutubeDL = YoutubeDL

    def add(self, video_id, title="Loopback video", body=None, **fields):
        """Serves `body` (the sine by default) as the one audio format of
        `video_id`; `fields` go into its information as they stand."""
        path = self.path(video_id)
        self.server.bodies[path] = self.audio if body is None else body
        self.videos[video_id] = (path, title, fields)
        return self.server.url(path)

    def hold(self, video_id, after):
        """Holds the served body of `video_id` after its first `after` bytes
        until the returned event is set."""
        release = threading.Event()
        self.server.holds[self.path(video_id)] = (after, release)
        return release

    @staticmethod
    def path(video_id):
        """The server path of a video's audio."""
        return f"/media/{video_id}.m4a"

    def info(self, video_id):
        path, title, fields = self.videos[video_id]
        body = self.server.bodies[path]
        audio = {"format_id": FORMAT_ID, "url": self.server.url(path), "ext": "m4a", "acodec": "mp4a.40.2",
                 "vcodec": "none", "abr": 96, "filesize": len(body)}
        return {"id": video_id, "title": title, "duration": SECONDS, "formats": [audio], **fields}


@pytest.fixture
def loopback_site(monkeypatch, served_audio):
    """A started LoopbackSite, installed as yt_dlp.YoutubeDL for the test."""
    server = AudioServer().start()
    site = LoopbackSite(server, served_audio)
    monkeypatch.setattr(yt_dlp, "YoutubeDL", site.YoutubeDL)
    yield site
    server.stop()
