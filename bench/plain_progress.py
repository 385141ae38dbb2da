"""The download progress record written in plain Python: the baseline the
benchmarks measure the native record against."""
import time


class PyProgress:
    """The same progress record, written in Python."""

    def __init__(self):
        self.bytes_downloaded = 0
        self.total_bytes = 0
        self.percentage = 0.0
        self.speed = 0.0
        self.eta = 0.0
        self.status = "queued"
        self.error_message = None
        self.start_time = time.time()

    def update(self, bytes_downloaded: int, total_bytes: int):
        self.bytes_downloaded = bytes_downloaded
        self.total_bytes = total_bytes
        if total_bytes > 0:
            self.percentage = (bytes_downloaded / total_bytes) * 100
        elapsed = time.time() - self.start_time
        if elapsed > 0:
            self.speed = bytes_downloaded / elapsed
            if self.speed > 0 and total_bytes > bytes_downloaded:
                self.eta = (total_bytes - bytes_downloaded) / self.speed

    def format_size(self, bytes_size: int) -> str:
        for unit in ["B", "KB", "MB", "GB"]:
            if bytes_size < 1024.0:
                return f"{bytes_size:.2f} {unit}"
            bytes_size /= 1024.0
        return f"{bytes_size:.2f} TB"

    def format_speed(self) -> str:
        return f"{self.format_size(self.speed)}/s"

    def format_eta(self) -> str:
        if self.eta == 0:
            return "Unknown"
        hours, remainder = divmod(int(self.eta), 3600)
        minutes, seconds = divmod(remainder, 60)
        if hours > 0:
            return f"{hours}h {minutes}m {seconds}s"
        if minutes > 0:
            return f"{minutes}m {seconds}s"
        return f"{seconds}s"

    def __str__(self) -> str:
        return (
            f"{self.format_size(self.bytes_downloaded)} / {self.format_size(self.total_bytes)} "
            f"({self.percentage:.1f}%) - Speed: {self.format_speed()} - ETA: {self.format_eta()}"
        )
