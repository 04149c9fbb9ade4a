#!/usr/bin/python3
"""Sends obs-websocket 5 requests to a local OBS and prints the responses as one JSON list.

Usage: obs-request.py PORT '[["RequestType", {request data}], ...]'
       obs-request.py PORT @FILE           (the same list, read from FILE)
       obs-request.py PORT --frame-batch '[...]'   (the same list as one batch that OBS runs on its graphics thread)
       obs-request.py PORT --events SECONDS
Connects (retrying for up to 20 s, OBS accepts shortly after it has loaded), identifies without a password and
sends the requests in order, each waiting for its response (one that OBS is not ready for yet is sent again). With --events it subscribes to vendor events (bit 9),
prints {"ready": true} once identified, then the data of each VendorEvent as one JSON line, for SECONDS.
"""
import json
import sys
import time

import websocket


def connect(port):
    deadline = time.time() + 20
    while True:
        try:
            return websocket.create_connection("ws://127.0.0.1:%d" % port, timeout=10)
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.2)


def identify(ws, subscriptions):
    hello = json.loads(ws.recv())
    assert hello["op"] == 0, hello
    ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": subscriptions}}))
    identified = json.loads(ws.recv())
    assert identified["op"] == 2, identified


def watch_events(ws, seconds):
    identify(ws, 1 << 9)
    print(json.dumps({"ready": True}), flush=True)
    deadline = time.time() + seconds
    while time.time() < deadline:
        ws.settimeout(max(0.1, deadline - time.time()))
        try:
            message = json.loads(ws.recv())
        except websocket.WebSocketTimeoutException:
            break
        if message["op"] == 5 and message["d"]["eventType"] == "VendorEvent":
            print(json.dumps(message["d"]["eventData"]), flush=True)


def main():
    port = int(sys.argv[1])
    ws = connect(port)
    if sys.argv[2] == "--events":
        watch_events(ws, float(sys.argv[3]))
        ws.close()
        return
    if sys.argv[2] == "--frame-batch":
        identify(ws, 0)
        requests = [{"requestType": kind, "requestData": data} for kind, data in json.loads(sys.argv[3])]
        ws.send(json.dumps({"op": 8, "d": {"requestId": "batch", "executionType": 1, "requests": requests}}))
        while True:
            message = json.loads(ws.recv())
            if message["op"] == 9 and message["d"]["requestId"] == "batch":
                print(json.dumps(message["d"]["results"]))
                break
        ws.close()
        return
    if sys.argv[2].startswith("@"):
        with open(sys.argv[2][1:], encoding="utf-8") as source:
            requests = json.load(source)
    else:
        requests = json.loads(sys.argv[2])
    identify(ws, 0)
    responses = []
    deadline = time.time() + 20
    for number, (kind, data) in enumerate(requests):
        request_id = "r%d" % number
        while True:
            ws.send(json.dumps({"op": 6, "d": {"requestType": kind, "requestId": request_id, "requestData": data}}))
            while True:
                message = json.loads(ws.recv())
                if message["op"] == 7 and message["d"]["requestId"] == request_id:
                    break
            # Newer obs-websocket accepts clients before OBS has finished loading, and says so (207).
            if message["d"]["requestStatus"]["code"] != 207 or time.time() > deadline:
                responses.append(message["d"])
                break
            time.sleep(0.2)
    ws.close()
    print(json.dumps(responses))


if __name__ == "__main__":
    main()
