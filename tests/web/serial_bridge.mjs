// Carries the page's serial port over a WebSocket to a pseudo-terminal where vestrel-sim serves:
// the test's stand-in for navigator.serial (fake_serial.js) is the other end. It listens on the
// page's own server (127.0.0.1), at /serial-bridge, so that the page's Content-Security-Policy
// ('self') lets the stand-in connect.
//
// Messages: text frames are JSON requests {op: "open" | "signals" | "close"} answered with
// {event: "opened" | "error" | "done"}; binary frames carry the bytes both ways. When the
// device hangs up (the simulator's unplug), or a write to it fails, the page gets
// {event: "lost"}.
import fs from "node:fs";
import tty from "node:tty";
import { WebSocketServer } from "ws";

export class SerialBridge {
  // `server`: the page's HTTP server. `device` is set by the test before the page opens it.
  constructor(server) {
    this.device = null;
    this.wss = new WebSocketServer({ server, path: "/serial-bridge" });
    this.wss.on("connection", (socket) => this.connect(socket));
  }

  connect(socket) {
    let line = null;
    const send = (message) => {
      if (socket.readyState === socket.OPEN) socket.send(JSON.stringify(message));
    };
    const hangUp = () => {
      if (line) line.close();
      line = null;
    };
    socket.on("message", (data, isBinary) => {
      if (isBinary) {
        if (!line) return send({ event: "lost" });
        line.write(data, (error) => error && send({ event: "lost" }));
        return;
      }
      const request = JSON.parse(data.toString());
      if (request.op === "open") {
        try {
          line = this.open(socket, () => {
            line = null;
            send({ event: "lost" });
          });
          send({ event: "opened" });
        } catch (error) {
          send({ event: "error", message: error.message });
        }
      } else {
        if (request.op === "close") hangUp();
        send({ event: "done" });  // modem lines: a pseudo-terminal has none to set
      }
    });
    socket.on("close", hangUp);
  }

  // The device as a stream (the simulator has set its line raw); `onLost` when it hangs up.
  open(socket, onLost) {
    if (!this.device) throw new Error("no device to bridge to");
    const fd = fs.openSync(this.device, fs.constants.O_RDWR | fs.constants.O_NOCTTY);
    const stream = new tty.ReadStream(fd);
    let open = true;
    const end = (lost) => {
      if (!open) return;
      open = false;
      stream.destroy();
      if (lost) onLost();
    };
    stream.on("data", (bytes) => socket.send(bytes, { binary: true }));
    stream.on("end", () => end(true));  // a hang-up reads as the end of the stream
    stream.on("error", () => end(true));
    return { write: (data, done) => stream.write(data, done), close: () => end(false) };
  }

  close() {
    for (const client of this.wss.clients) client.terminate();
    return new Promise((resolve) => this.wss.close(resolve));
  }
}
