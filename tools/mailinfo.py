#!/usr/bin/python3
"""Describes a saved .eml file as JSON, read with Python's own MIME parser (the email package).

    tools/mailinfo.py message.eml

Prints one JSON object: the envelope and the main headers, the top content type and boundary, and
every part with its content type, Content-ID, decoded size and, for PNG images, width and height.
The text of HTML parts comes along as "html", with the cid: references found in it.

"defects" lists what the parser (policy default) found wrong anywhere: in the message, its parts and
their headers. "wire" tells what strict servers refuse: bytes that are not 7-bit (NUL or above 127),
CR or LF that are not part of a CR LF pair, and the longest line (without its CR LF).
"""

import email
import email.policy
import json
import re
import struct
import sys


def png_size(data):
    if len(data) < 24 or data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", data[16:24])


def defects(message):
    found = []
    for part in message.walk():
        found += [type(d).__name__ for d in part.defects]
        for _name, value in part.items():
            found += [type(d).__name__ for d in getattr(value, "defects", ())]
    return found


def wire(raw):
    return {
        "non_7bit": len(re.findall(rb"[\x00\x80-\xff]", raw)),
        "bare_line_ends": len(re.findall(rb"\r(?!\n)|(?<!\r)\n", raw)),
        "longest_line": max(len(line) for line in raw.split(b"\r\n")),
    }


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    message = email.message_from_bytes(raw, policy=email.policy.default)
    info = {
        "envelope_from": str(message.get("X-Envelope-From", "")),
        "envelope_to": str(message.get("X-Envelope-To", "")),
        "to": str(message.get("To", "")),
        "subject": str(message.get("Subject", "")),
        "mime_version": str(message.get("MIME-Version", "")),
        "content_type": message.get_content_type(),
        "related_type": message.get_param("type") or "",
        "boundary": message.get_boundary() or "",
        "defects": defects(message),
        "wire": wire(raw),
        "parts": [],
    }
    parts = message.get_payload() if message.is_multipart() else [message]
    for part in parts:
        data = part.get_payload(decode=True) or b""
        entry = {
            "content_type": part.get_content_type(),
            "content_id": str(part.get("Content-ID", "")),
            "charset": part.get_content_charset() or "",
            "size": len(data),
            "defects": [type(d).__name__ for d in part.defects],
        }
        size = png_size(data)
        if size:
            entry["width"], entry["height"] = size
        if part.get_content_type() == "text/html":
            html = data.decode(part.get_content_charset() or "utf-8", "replace")
            entry["html"] = html
            entry["cids"] = re.findall(r'src="cid:([^"]+)"', html)
        info["parts"].append(entry)
    json.dump(info, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
