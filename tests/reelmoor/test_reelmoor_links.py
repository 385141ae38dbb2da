"""The client's text operations: watch links and video ids, channel
identifiers and their normalisation to a channel address."""
import pytest

from site_names import BASE, MAIN_HOST as M, SHORT_HOST as S

ID = "dQw4w9WgXcQ"
UP = M.upper()

# link: (is_valid_reelmoor_url, extract_video_id)
LINKS = [
    (f"{M}/watch?v={ID}", True, ID),
    (f"https://www.{M}/watch?v={ID}", True, ID),
    (f"http://{M}/watch?v={ID}&list=x", True, ID),
    (f"www.{M}/watch?v={ID}", True, ID),
    (f"https://{S}/{ID}", True, ID),
    (f"http://{S}/{ID}", True, ID),
    (f"https://www.{S}/{ID}?t=9", True, ID),
    (f"{S}/{ID}", True, ID),
    (f"https://www.{M}/embed/{ID}", True, ID),
    (f"https://www.{M}/watch?v={ID}xyz", True, ID),  # 12 or more: the first 11
    (f"https://www.{M}/watch?v=dQw4w9WgXc", False, None),  # 10 characters
    (f"https://www.{M}/watch?v=dQw4w9WgXc&t=1", False, None),
    (f"https://m.{M}/watch?v={ID}", False, ID),  # another subdomain
    (f" https://www.{M}/watch?v={ID}", False, ID),  # a leading blank
    (f"see https://{S}/{ID} here", False, ID),
    (f"HTTPS://www.{M}/watch?v={ID}", False, ID),  # capital scheme: found after it
    (f"https://www.{UP}/watch?v={ID}", False, None),  # capital host
    (f"https://{S.upper()}/{ID}", False, None),
    (f"https://www.{M}/watch?feature=share&v={ID}", False, None),  # v not first
    (f"https://www.{M}/shorts/{ID}", False, None),
    (f"https://www.{M}/watch?v=dQw4w9Wg\u00e9cQ", False, None),
    (f"https://www.{M}/watch?v=dQw4w9Wg\udc80cQ", False, None),
    (f"\udc80https://{S}/{ID}", False, ID),
    (f"{M}/embed/AAAAAAAAAAA {S}/BBBBBBBBBBB", True, "BBBBBBBBBBB"),  # pattern order, not position
    ("", False, None),
]


@pytest.mark.parametrize("link, valid, video_id", LINKS)
def test_watch_links(client, link, valid, video_id):
    assert client.is_valid_reelmoor_url(link) is valid
    assert client.extract_video_id(url=link) == video_id


@pytest.mark.parametrize("name", ["is_valid_reelmoor_url", "extract_video_id"])
def test_links_refuse_none(client, name):
    with pytest.raises(TypeError, match="expected string or bytes-like object, got 'NoneType'"):
        getattr(client, name)(None)


@pytest.mark.parametrize("text, channel", [
    (None, False), ("", False), ("   ", False), ("\u3000\n", False),
    ("@name", True), ("  @name  ", True), ("@", True),
    (f"https://www.{M}/user/someone", True), (f"https://www.{M}/c/someone", True),
    (f"https://www.{M}/channel/UCabc", True), (f"https://www.{M}/@someone", True),
    (f"HTTPS://WWW.{UP}/C/SOMEONE", True), (f"see {M}/@someone", True),
    ("UCabcdef", True), ("  UCabcdef", True), ("ucabcdef", False), ("Uc", False),
    (f"https://www.{M}/watch?v={ID}", False), (f"https://www.{M}/playlist?list=x", False),
    ("someone", False), ("\udc80", False),
])
def test_is_channel_identifier(client, text, channel):
    assert client.is_channel_identifier(text=text) is channel


@pytest.mark.parametrize("identifier, address", [
    (None, ""), ("", ""), (" \t ", ""),
    ("@name", f"{BASE}@name"), (" @name\n", f"{BASE}@name"),
    ("https://elsewhere.example/a ", "https://elsewhere.example/a"),
    (f"http://www.{M}/c/name/", f"http://www.{M}/c/name/"),
    (f"{M}/c/name", f"https://{M}/c/name"),
    (f"www.{M}/c/name", f"{BASE}www.{M}/c/name"),
    ("UCabc123", f"{BASE}channel/UCabc123"),
    ("/c/name", f"{BASE}c/name"), ("c/name", f"{BASE}c/name"), ("///name", f"{BASE}name"),
    ("name", f"{BASE}name"), ("ucname", f"{BASE}ucname"),
    ("@na\udc80me", f"{BASE}@na\udc80me"),
])
def test_normalize_channel_identifier(client, identifier, address):
    assert client._normalize_channel_identifier(identifier=identifier) == address
