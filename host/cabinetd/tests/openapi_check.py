"""cabinetd's answers against its OpenAPI document, docs/openapi.yaml.

problem() says what is wrong with one answer, or None: its path, method and
status must be in the document (a path it does not list may only answer 404,
a method a path does not list only 405, or either a refusal every operation
lists, such as 421), and a JSON answer must match the schema documented for
its status. Debian's python3-yaml reads the document and python3-jsonschema
checks the answers (Draft 2020-12, $refs resolved within the document).
"""
import json
import os
import re
from urllib.parse import urlsplit

import jsonschema
import yaml

DOCUMENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "docs", "openapi.yaml")

# What a path or a method the document does not list may answer.
_ERROR_ANSWER = {"content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}
_ANY = {}

_doc = None
_routes = None
_anywhere = None
_validators = {}


def document():
    """The document, as docs/openapi.yaml has it."""
    global _doc
    if _doc is None:
        with open(DOCUMENT, encoding="utf-8") as f:
            _doc = yaml.safe_load(f)
    return _doc


def stream_kinds():
    """The record kinds an event stream carries unless told otherwise, as the
    document gives them (the default of /api/stream's kind parameter)."""
    stream = document()["paths"]["/api/stream"]["get"]
    kind = next(p for p in stream["parameters"] if p.get("name") == "kind")
    return set(kind["schema"]["default"])


def _resolve(node):
    while isinstance(node, dict) and "$ref" in node:
        target = document()
        for part in node["$ref"].removeprefix("#/").split("/"):
            target = target[part.replace("~1", "/").replace("~0", "~")]
        node = target
    return node


def _route(path):
    """The path item and template a request path falls under, or (None, None)."""
    global _routes
    if _routes is None:
        # Templates without parameters first: /healthz before /{file}.
        templates = sorted(document()["paths"], key=lambda t: "{" in t)
        _routes = [(re.compile("^" + "[^/]+".join(map(re.escape, re.split(r"\{[^}]+\}", t))) + "$"), t)
                   for t in templates]
    for pattern, template in _routes:
        if pattern.match(path):
            return document()["paths"][template], template
    return None, None


def _everywhere():
    """Statuses every operation lists: refusals of a request before it is routed."""
    global _anywhere
    if _anywhere is None:
        sets = [set(op["responses"]) for item in document()["paths"].values()
                for method, op in item.items() if method in ("get", "post", "put", "delete", "patch")]
        _anywhere = set.intersection(*sets)
    return _anywhere


def _schema_problem(schema, value, where):
    key = id(schema)
    if key not in _validators:
        _validators[key] = jsonschema.Draft202012Validator(
            schema, resolver=jsonschema.RefResolver.from_schema(document()))
    error = jsonschema.exceptions.best_match(_validators[key].iter_errors(value))
    if error is None:
        return None
    at = "/".join(str(p) for p in error.absolute_path) or "the top"
    return f"{where}: the answer does not match the document at {at}: {error.message}"


def problem(method, target, status, content_type, body):
    """What is wrong with an answer (status, Content-Type, body bytes) to
    method on target, or None."""
    path = urlsplit(target).path
    item, template = _route(path)
    op = None
    if item is not None:
        op = item.get(method.lower()) or (item.get("get") if method == "HEAD" else None)
    if op is None:
        expect = "404" if item is None else "405"
        if str(status) not in _everywhere() | {expect}:
            what = "a path" if item is None else f"a method of {template}"
            return f"{method} {path}: {status} for {what} the document does not list (expected {expect})"
        response = _ERROR_ANSWER
        where = f"{method} {path} {status}"
    else:
        response = op["responses"].get(str(status))
        where = f"{method} {template} {status}"
        if response is None:
            return f"{where}: status not in the document (it lists {', '.join(op['responses'])})"
        response = _resolve(response)
    if method == "HEAD":
        return None if not body else f"{where}: a body in the answer to HEAD"
    content = response.get("content")
    if not content:
        return None if not body else f"{where}: a body where the document has none"
    media = (content_type or "").split(";")[0].strip()
    if media not in content:
        return f"{where}: Content-Type {content_type!r}, the document has {', '.join(content)}"
    if media != "application/json":
        return None
    try:
        value = json.loads(body)
    except ValueError as e:
        return f"{where}: not JSON ({e}): {body[:200]!r}"
    return _schema_problem(_resolve(content[media].get("schema", _ANY)), value, where)


def event_problem(message):
    """What is wrong with one message of /api/stream (its id, event and data
    fields), or None: its data is a record of the kind the event names."""
    media = document()["paths"]["/api/stream"]["get"]["responses"]["200"]["content"]["text/event-stream"]
    try:
        record = json.loads(message.get("data", ""))
    except ValueError as e:
        return f"stream message {message}: data is not JSON ({e})"
    if message.get("event") != record.get("kind") or message.get("id") != str(record.get("cursor")):
        return f"stream message {message}: id and event are not the record's cursor and kind"
    return _schema_problem(_resolve(media["x-event-data"]), record, "stream message")
