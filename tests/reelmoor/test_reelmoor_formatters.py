"""The client's display texts: durations, view counts and optional counts,
with Python's number semantics (int(float(value)))."""
from decimal import Decimal
from fractions import Fraction

import pytest


class Floaty:
    """A value that converts through __float__, or raises what it is given."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Shouting(str):
    def replace(self, old, new, count=-1):
        return str.replace(self, old, new, count).replace("!", "")


INF, NAN = float("inf"), float("nan")


@pytest.mark.parametrize("seconds, text", [
    (None, "0:00"), (0, "0:00"), (0.0, "0:00"), (-0.0, "0:00"), (-0.5, "0:00"), ("0", "0:00"), (False, "0:00"),
    (59, "0:59"), (60, "1:00"), (61, "1:01"), (True, "0:01"),
    (3599, "59:59"), (3600, "1:00:00"), (36000, "10:00:00"), (3661, "1:01:01"), (90061, "25:01:01"),
    (125.9, "2:05"), ("125", "2:05"), ("12.7", "0:12"), ("  42\t", "0:42"), ("\u00a042\u3000", "0:42"),
    ("\u0661\u0662\u0665", "2:05"), ("1_000", "16:40"), ("1e3", "16:40"),
    ("1:30", "0:00"), ("abc", "0:00"), ("", "0:00"), ([], "0:00"), ([5], "0:00"), ({}, "0:00"),
    (b"60", "1:00"),  # float() reads bytes too
    (NAN, "0:00"), ("nan", "0:00"), ("\udc80", "0:00"),
    (-5, "59:55"), (-3600, "0:00"), (-3601, "59:59"),
    (Decimal("125.9"), "2:05"), (Fraction(7, 2), "0:03"), (Floaty(61.5), "1:01"), (Floaty(ValueError()), "0:00"),
    (Floaty(TypeError()), "0:00"),
    # Whole numbers beyond 64 bits, as int(float(...)) leaves them.
    (2**63 + 1, "2562047788015215:30:08"),
    (10**30, "277777777777777783301284677:24:16"), (-10**30, "35:44"), (1e300, None),
])
def test_format_duration(client, seconds, text):
    if text is None:
        s = int(1e300)
        text = f"{s // 3600}:{s % 3600 // 60:02d}:{s % 60:02d}"
    assert client._format_duration(seconds) == text


@pytest.mark.parametrize("view_count, text", [
    (None, "0"), (0, "0"), ("abc", "0"), ("", "0"), (NAN, "0"), ("nan", "0"), ([], "0"), (b"5", "5"), (b"1,500", "0"),
    (999, "999"), (1000, "1.0K"), (1049, "1.0K"), (1050, "1.1K"), (1250, "1.2K"), (1750, "1.8K"),
    (9999, "10.0K"), (999_950, "1000.0K"), (999_999, "1000.0K"),
    (1_000_000, "1.0M"), ("1,500,000", "1.5M"), ("1,234", "1.2K"), ("1,234,567", "1.2M"), (",,5,", "5"),
    (999.9, "999"), (-5, "-5"), (-5000, "-5000"), (-0.7, "0"), (True, "1"),
    (" 2_500 ", "2.5K"), (Decimal("1500"), "1.5K"), (Floaty(2e6), "2.0M"), (Floaty(ValueError()), "0"),
    (Shouting("1,5!00"), "1.5K"),
    (10**20 + 1, "100000000000000.0M"), (-10**20, "-100000000000000000000"),
])
def test_format_view_count(client, view_count, text):
    assert client._format_view_count(view_count) == text


@pytest.mark.parametrize("name", ["_format_duration", "_format_view_count"])
@pytest.mark.parametrize("value, error", [
    (INF, OverflowError), (-INF, OverflowError), ("inf", OverflowError), ("-Infinity", OverflowError),
    (10**400, OverflowError), (Floaty(RuntimeError("broken")), RuntimeError),
])
def test_other_errors_reach_the_caller(client, name, value, error):
    with pytest.raises(error):
        getattr(client, name)(value)


def test_a_zero_test_that_fails_reaches_the_caller(client):
    class Odd:
        def __eq__(self, other):
            raise RuntimeError("no comparing")

    with pytest.raises(RuntimeError):
        client._format_duration(Odd())


@pytest.mark.parametrize("value, text", [
    (None, ""), (INF, ""), (10**400, ""), (0, "0"), (1500, "1.5K"), ("abc", "0"), ("2,000,000", "2.0M"),
])
def test_format_count(client, value, text):
    assert client._format_count(value) == text


def test_format_count_asks_the_instance(client):
    seen = []
    client._format_view_count = lambda value: seen.append(value) or "counted"
    assert (client._format_count(3), client._format_count(None)) == ("counted", "")
    assert seen == [3]

    def broken(value):
        raise LookupError("broken")

    client._format_view_count = broken
    assert client._format_count(3) == ""

    def interrupted(value):
        raise KeyboardInterrupt

    client._format_view_count = interrupted
    with pytest.raises(KeyboardInterrupt):
        client._format_count(3)
