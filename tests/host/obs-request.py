#!/usr/bin/python3
"""Sends obs-websocket 5 requests to a local OBS and prints the responses as one JSON list.

Usage: obs-request.py PORT '[["RequestType", {request data}], ...]'
Connects (retrying for up to 20 s, OBS accepts shortly after it has loaded), identifies without a password and
sends the requests in order, each waiting for its response.
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


def main():
    port = int(sys.argv[1])
    requests = json.loads(sys.argv[2])
    ws = connect(port)
    hello = json.loads(ws.recv())
    assert hello["op"] == 0, hello
    ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": 0}}))
    identified = json.loads(ws.recv())
    assert identified["op"] == 2, identified
    responses = []
    for number, (kind, data) in enumerate(requests):
        request_id = "r%d" % number
        ws.send(json.dumps({"op": 6, "d": {"requestType": kind, "requestId": request_id, "requestData": data}}))
        while True:
            message = json.loads(ws.recv())
            if message["op"] == 7 and message["d"]["requestId"] == request_id:
                responses.append(message["d"])
                break
    ws.close()
    print(json.dumps(responses))


if __name__ == "__main__":
    main()
