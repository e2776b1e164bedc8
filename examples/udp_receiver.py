"""The robot's side of `orbisect live --publish udp://HOST:PORT`: one JSON
record per datagram, printed as the ball's position and the lines.

    orbisect live /dev/video0 --publish udp://127.0.0.1:5005
    python udp_receiver.py [PORT [COUNT]]

Stops after COUNT records (default: run until Ctrl-C); with no record for
10 seconds it says so and goes on waiting.
"""
import json
import socket
import sys

port = int(sys.argv[1]) if len(sys.argv) > 1 else 5005
count = int(sys.argv[2]) if len(sys.argv) > 2 else None

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", port))
sock.settimeout(10.0)
print(f"listening on udp://127.0.0.1:{port}")
seen = 0
try:
    while count is None or seen < count:
        try:
            record = json.loads(sock.recv(65536))
        except TimeoutError:
            print("no record for 10 s")
            continue
        seen += 1
        ball = record["ball"]
        where = "no ball" if ball is None else f"ball ({ball['x']:.1f}, {ball['y']:.1f}) r {ball['r']:.1f}"
        print(f"frame {record['frame']}: {where}, {len(record['lines'])} lines, "
              f"latency {1000 * record['latency']:.1f} ms, {record['dropped']} dropped")
except KeyboardInterrupt:
    pass
finally:
    sock.close()
