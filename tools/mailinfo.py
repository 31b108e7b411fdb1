#!/usr/bin/python3
"""Describes a saved .eml file as JSON, read with Python's own MIME parser (the email package).

    tools/mailinfo.py message.eml

Prints one JSON object: the envelope and the main headers, the top content type and boundary, and
every part with its content type, Content-ID, decoded size and, for PNG images, width and height.
The text of HTML parts comes along as "html", with the cid: references found in it.
"""

import email
import email.header
import email.policy
import json
import re
import struct
import sys


def png_size(data):
    if len(data) < 24 or data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", data[16:24])


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.compat32)
    info = {
        "envelope_from": message.get("X-Envelope-From", ""),
        "envelope_to": message.get("X-Envelope-To", ""),
        "to": message.get("To", ""),
        "subject": str(email.header.make_header(email.header.decode_header(message.get("Subject", "")))),
        "content_type": message.get_content_type(),
        "boundary": message.get_boundary() or "",
        "defects": [type(d).__name__ for d in message.defects],
        "parts": [],
    }
    parts = message.get_payload() if message.is_multipart() else [message]
    for part in parts:
        data = part.get_payload(decode=True) or b""
        entry = {
            "content_type": part.get_content_type(),
            "content_id": part.get("Content-ID", ""),
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
