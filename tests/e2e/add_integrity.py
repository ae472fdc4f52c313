#!/usr/bin/env python3
"""Adds the "integrity" member to a manifest that embercrest-publish wrote: for every URL of the
locale lists, its file's size and SHA-256.

    add_integrity.py MANIFEST UPDATE-FOLDER BASE-URL
"""
import hashlib
import json
import os
import sys
import urllib.parse

path, root, base = sys.argv[1:]
with open(path, encoding="utf-8") as f:
    doc = json.load(f)
integrity = {}
for element in doc["wsection"]:
    for files in element.values():
        if not isinstance(files, dict):
            continue
        for url in files.values():
            digest, size = hashlib.sha256(), 0
            with open(os.path.join(root, urllib.parse.unquote(url[len(base):])), "rb") as data:
                while block := data.read(1 << 20):
                    digest.update(block)
                    size += len(block)
            integrity[url] = {"size": size, "sha256": digest.hexdigest()}
doc["integrity"] = integrity
with open(path, "w", encoding="utf-8") as f:
    json.dump(doc, f, ensure_ascii=False)
