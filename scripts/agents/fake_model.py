#!/usr/bin/env python3
"""A stand-in model server for scripts/check-agents.sh.

It speaks just enough of two wire formats for one whole agent session:

- the Anthropic Messages API (POST /v1/messages), as Claude Code uses it
  through ANTHROPIC_BASE_URL;
- the OpenAI Responses API (POST /v1/responses), as Codex uses it through a
  [model_providers.<name>] table with wire_api = "responses".

The first turn of a conversation that offers the request_human tool is
answered with a call of that tool; once the tool's result comes back, the
server writes it to the log and answers with a final text. Every request is
logged as one JSON line, so a failing run shows what the agent sent.
"""

import argparse
import json
import os
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

FINAL_TEXT = "The person has answered; all done."
TOOL_SUFFIX = "request_human"

log_lock = threading.Lock()
log_path = None
tool_input = {}


def log(record):
    with log_lock:
        with open(log_path, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")


def tool_names(tools):
    """Every tool name in a request's tool list, however it is nested."""
    names = []
    def walk(value):
        if isinstance(value, dict):
            name = value.get("name")
            if isinstance(name, str):
                names.append(name)
            for child in value.values():
                walk(child)
        elif isinstance(value, list):
            for child in value:
                walk(child)
    walk(tools or [])
    return names


def our_tool(body):
    """(namespace, name) of the request_human tool the request offers, or None.

    A tool may stand alone or inside a namespace tool, as Codex groups an MCP
    server's tools; a call of it then names that namespace."""
    for tool in body.get("tools") or []:
        if not isinstance(tool, dict):
            continue
        if tool.get("type") == "namespace":
            for inner in tool.get("tools") or []:
                if isinstance(inner, dict) and str(inner.get("name", "")).endswith(TOOL_SUFFIX):
                    return tool.get("name"), inner["name"]
        elif str(tool.get("name", "")).endswith(TOOL_SUFFIX):
            return None, tool["name"]
    return None


def text_of(content):
    """The text inside a tool result, whichever way it is wrapped."""
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        return "".join(text_of(part) for part in content)
    if isinstance(content, dict):
        for key in ("text", "content", "output"):
            if key in content:
                return text_of(content[key])
    return ""


# --- Anthropic Messages API -------------------------------------------------

def anthropic_tool_result(body):
    for message in body.get("messages", []):
        content = message.get("content")
        if not isinstance(content, list):
            continue
        for block in content:
            if isinstance(block, dict) and block.get("type") == "tool_result" \
                    and str(block.get("tool_use_id", "")).startswith("toolu_ringlark"):
                return text_of(block.get("content"))
    return None


def anthropic_reply(handler, body):
    result = anthropic_tool_result(body)
    tool = our_tool(body)
    if result is not None:
        log({"event": "tool_result", "api": "anthropic", "text": result})
        blocks = [{"type": "text", "text": FINAL_TEXT}]
        stop = "end_turn"
    elif tool:
        log({"event": "tool_use", "api": "anthropic", "name": tool[1]})
        blocks = [{"type": "tool_use", "id": "toolu_ringlark_1", "name": tool[1], "input": tool_input}]
        stop = "tool_use"
    else:
        blocks = [{"type": "text", "text": "ok"}]
        stop = "end_turn"
    model = body.get("model", "fake-model")
    usage = {"input_tokens": 10, "output_tokens": 5}
    if not body.get("stream"):
        handler.send_json(200, {"id": "msg_fake", "type": "message", "role": "assistant", "model": model,
                                "content": blocks, "stop_reason": stop, "stop_sequence": None, "usage": usage})
        return
    events = [("message_start", {"type": "message_start", "message": {
        "id": "msg_fake", "type": "message", "role": "assistant", "model": model, "content": [],
        "stop_reason": None, "stop_sequence": None, "usage": {"input_tokens": 10, "output_tokens": 1}}})]
    for index, block in enumerate(blocks):
        if block["type"] == "text":
            events += [
                ("content_block_start", {"type": "content_block_start", "index": index,
                                         "content_block": {"type": "text", "text": ""}}),
                ("content_block_delta", {"type": "content_block_delta", "index": index,
                                         "delta": {"type": "text_delta", "text": block["text"]}}),
            ]
        else:
            events += [
                ("content_block_start", {"type": "content_block_start", "index": index, "content_block": {
                    "type": "tool_use", "id": block["id"], "name": block["name"], "input": {}}}),
                ("content_block_delta", {"type": "content_block_delta", "index": index, "delta": {
                    "type": "input_json_delta", "partial_json": json.dumps(block["input"])}}),
            ]
        events.append(("content_block_stop", {"type": "content_block_stop", "index": index}))
    events += [
        ("message_delta", {"type": "message_delta", "delta": {"stop_reason": stop, "stop_sequence": None},
                           "usage": {"output_tokens": 5}}),
        ("message_stop", {"type": "message_stop"}),
    ]
    handler.send_events(events)


# --- OpenAI Responses API ---------------------------------------------------

def responses_tool_output(body):
    items = body.get("input")
    if not isinstance(items, list):
        return None
    for item in items:
        if isinstance(item, dict) and item.get("type") == "function_call_output" \
                and str(item.get("call_id", "")).startswith("call_ringlark"):
            return text_of(item.get("output"))
    return None


def responses_reply(handler, body):
    output = responses_tool_output(body)
    tool = our_tool(body)
    if output is not None:
        log({"event": "tool_result", "api": "responses", "text": output})
        item = {"type": "message", "id": "msg_fake", "role": "assistant", "status": "completed",
                "content": [{"type": "output_text", "text": FINAL_TEXT, "annotations": []}]}
    elif tool:
        namespace, name = tool
        log({"event": "tool_use", "api": "responses", "namespace": namespace, "name": name})
        item = {"type": "function_call", "id": "fc_ringlark_1", "call_id": "call_ringlark_1", "name": name,
                "arguments": json.dumps(tool_input), "status": "completed"}
        if namespace:
            item["namespace"] = namespace
    else:
        item = {"type": "message", "id": "msg_fake", "role": "assistant", "status": "completed",
                "content": [{"type": "output_text", "text": "ok", "annotations": []}]}
    usage = {"input_tokens": 10, "input_tokens_details": {"cached_tokens": 0}, "output_tokens": 5,
             "output_tokens_details": {"reasoning_tokens": 0}, "total_tokens": 15}
    response = {"id": "resp_fake", "object": "response", "status": "in_progress", "model": body.get("model", ""),
                "output": []}
    events = [
        ("response.created", {"type": "response.created", "response": response}),
        ("response.output_item.added", {"type": "response.output_item.added", "output_index": 0, "item": item}),
    ]
    if item["type"] == "message":
        events.append(("response.output_text.delta", {"type": "response.output_text.delta", "item_id": item["id"],
                                                      "output_index": 0, "content_index": 0,
                                                      "delta": item["content"][0]["text"]}))
    events += [
        ("response.output_item.done", {"type": "response.output_item.done", "output_index": 0, "item": item}),
        ("response.completed", {"type": "response.completed", "response": dict(
            response, status="completed", output=[item], usage=usage)}),
    ]
    handler.send_events(events)


# --- HTTP -------------------------------------------------------------------

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # one request per connection: nothing to keep alive

    def log_message(self, *args):
        pass

    def send_json(self, code, value):
        data = json.dumps(value).encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_events(self, events):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.end_headers()
        for name, data in events:
            self.wfile.write(f"event: {name}\ndata: {json.dumps(data)}\n\n".encode())
            self.wfile.flush()

    def do_GET(self):
        log({"event": "request", "method": "GET", "path": self.path})
        if self.path.split("?")[0].rstrip("/").endswith("/models"):
            self.send_json(200, {"object": "list", "data": [{"id": "fake-model", "object": "model"}], "models": []})
        else:
            self.send_json(404, {"error": {"type": "not_found", "message": "nothing here"}})

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            body = json.loads(raw or b"{}")
        except ValueError:
            body = {}
        path = self.path.split("?")[0].rstrip("/")
        log({"event": "request", "method": "POST", "path": self.path, "stream": bool(body.get("stream")),
             "tools": tool_names(body.get("tools"))[:50]})
        if path.endswith("/messages/count_tokens"):
            self.send_json(200, {"input_tokens": 10})
        elif path.endswith("/messages"):
            anthropic_reply(self, body)
        elif path.endswith("/responses"):
            responses_reply(self, body)
        else:
            self.send_json(404, {"error": {"type": "not_found", "message": "nothing here"}})


def main():
    global log_path, tool_input
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--log", required=True, help="JSON lines of what the agent sent")
    parser.add_argument("--port-file", required=True, help="where the listening port is written")
    parser.add_argument("--reason", required=True)
    parser.add_argument("--ask", required=True)
    args = parser.parse_args()
    log_path = args.log
    tool_input = {"reason": args.reason, "ask": args.ask}
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    with open(args.port_file + ".tmp", "w") as out:
        out.write(str(server.server_address[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
