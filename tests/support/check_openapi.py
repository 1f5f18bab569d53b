#!/usr/bin/python3
"""check_openapi.py DESCRIPTION RECORD

Holds each answer the API tests recorded in RECORD (SKYLOOM_RECORD_ANSWERS) to the OpenAPI
DESCRIPTION: its status, headers, media type and JSON body. Fails when an answer drifts from
it, when a described path got no successful answer at all, or when nothing was recorded."""
import base64
import json
import sys

from jsonschema import Draft202012Validator, RefResolver


def requests(sent):
    """(method, path) of each request in the bytes sent, bodies skipped."""
    while (end := sent.find(b"\r\n\r\n")) >= 0:
        lines = sent[:end].split(b"\r\n")
        method, target = (lines[0].split(b" ") + [b""])[:2]
        length = next((int(l.split(b":", 1)[1]) for l in lines[1:]
                       if l.lower().startswith(b"content-length:")
                       and l.split(b":", 1)[1].strip().isdigit()), 0)
        yield method.decode("latin-1"), target.split(b"?")[0].decode("latin-1")
        sent = sent[end + 4 + length:]


def answers(received, methods):
    """(status, headers, body) of each whole answer head; the body is None when not read whole
    (a stream, or the client stopped reading)."""
    for method in methods:
        end = received.find(b"\r\n\r\n")
        if end < 0:
            return
        lines = received[:end].decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, value = line.split(":", 1)
            headers.setdefault(name.lower(), value.strip())
        status, rest = int(lines[0].split(" ")[1]), received[end + 4:]
        length = 0 if method == "HEAD" or status in (204, 304) else int(headers.get("content-length", -1))
        if length < 0 or len(rest) < length:
            yield status, headers, None
            return
        yield status, headers, rest[:length]
        received = rest[length:]


def main():
    path, recorded = sys.argv[1], sys.argv[2]
    with open(path, "rb") as file:
        written = file.read()
    doc = json.loads(written)
    for schema in doc["components"]["schemas"].values():
        Draft202012Validator.check_schema(schema)
    resolver = RefResolver.from_schema(doc)

    def resolve(item):
        while "$ref" in item:
            item = resolver.resolve(item["$ref"])[1]
        return item

    def valid(schema, value):
        return Draft202012Validator(schema, resolver=resolver).iter_errors(value)

    with open(recorded, "rb") as record:
        exchanges = [[base64.b64decode(part) for part in line.split()] for line in record]
    if not exchanges:
        print(f"{recorded}: no answers were recorded")
        return 1

    problems, served = [], set()
    for sent, received in exchanges:
        asked = list(requests(sent))
        for (method, target), (status, headers, body) in zip(asked, answers(received, [m for m, _ in asked])):
            where = f"{method} {target} {status}"
            item = doc["paths"].get(target)
            operation = item and item.get("get" if method == "HEAD" else method.lower())
            if item is None:
                described = doc["components"]["responses"]["NoSuchResource"] if status == 404 else None
            elif operation is None:
                described = doc["components"]["responses"]["MethodNotAllowed"] if status == 405 else None
            else:
                described = operation["responses"].get(str(status))
            if described is None:
                problems.append(f"{where}: the status is not described")
                continue
            described = resolve(described)
            if item is not None and status < 300:
                served.add(target)
            for name, header in described.get("headers", {}).items():
                header = resolve(header)
                if name.lower() not in headers:
                    if header.get("required"):
                        problems.append(f"{where}: no {name}")
                    continue
                for error in valid(header["schema"], headers[name.lower()]):
                    problems.append(f"{where}: {name}: {error.message}")
            media = headers.get("content-type")
            content = described.get("content", {})
            if (media or content) and media not in content:
                problems.append(f"{where}: Content-Type {media} is not one of {list(content)}")
                continue
            if media != "application/json" or method == "HEAD" or body is None:
                continue
            if target == "/openapi.json" and status == 200 and body != written:
                problems.append(f"{where}: not the description as written")
            for error in valid(content[media]["schema"], json.loads(body)):
                problems.append(f"{where}: {error.json_path}: {error.message}")

    problems += [f"{target}: no successful answer was checked" for target in doc["paths"]
                 if target not in served]
    for problem in sorted(set(problems)):
        print(problem)
    print(f"{len(exchanges)} exchanges checked against {path}, {len(set(problems))} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
