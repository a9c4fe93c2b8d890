// Carries the page's serial port over a WebSocket to a pseudo-terminal where vestrel-sim serves:
// the test's stand-in for navigator.serial (fake_serial.js) is the other end. It listens on the
// page's own server (127.0.0.1), at /serial-bridge, so that the page's Content-Security-Policy
// ('self') lets the stand-in connect.
//
// Messages: text frames are JSON requests {op: "open" | "signals" | "close"} answered with
// {event: "opened" | "error" | "done"}; binary frames carry the bytes both ways, after the
// sender's clock (ms since the epoch, a little-endian double), so that the benchmark can tell
// the bridge's own time (`writeDelayMs`: page to bridge, summed over the writes). When the
// device hangs up (the simulator's unplug), or a write to it fails, the page gets
// {event: "lost"}.
//
// A pseudo-terminal has no modem lines: the DTR and RTS changes the page asks for are recorded
// in `signals` and, when `modemSocket` names the simulator's --modem-socket, reported to it
// (two bytes: the lines set, bit 0 DTR and bit 1 RTS, and their states; one byte back once
// applied), so that a simulated board resets as a real one would.
import fs from "node:fs";
import net from "node:net";
import tty from "node:tty";
import { WebSocketServer } from "ws";

const SIGNAL_BITS = { dataTerminalReady: 1, requestToSend: 2 };
const clock = () => performance.timeOrigin + performance.now();

export class SerialBridge {
  // `server`: the page's HTTP server. `device` (and `modemSocket`) are set by the test before
  // the page opens the port.
  constructor(server) {
    this.device = null;
    this.modemSocket = null;
    this.signals = [];
    this.writeDelayMs = 0;
    this.wss = new WebSocketServer({ server, path: "/serial-bridge" });
    this.wss.on("connection", (socket) => this.connect(socket));
  }

  // Reports the lines in `signals` to the simulator and resolves once it has applied them.
  async setSignals(signals) {
    let set = 0;
    let states = 0;
    for (const [name, bit] of Object.entries(SIGNAL_BITS)) {
      if (!(name in signals)) continue;
      set |= bit;
      if (signals[name]) states |= bit;
    }
    this.signals.push(signals);
    if (!this.modemSocket || set === 0) return;
    const socket = net.createConnection(this.modemSocket);
    try {
      await new Promise((resolve, reject) => {
        socket.once("error", reject);
        socket.once("connect", () => socket.write(Buffer.from([set, states])));
        socket.once("data", resolve);
      });
    } finally {
      socket.destroy();
    }
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
        this.writeDelayMs += clock() - data.readDoubleLE(0);
        line.write(data.subarray(8), (error) => error && send({ event: "lost" }));
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
      } else if (request.op === "signals") {
        this.setSignals(request.signals).then(() => send({ event: "done" }),
          (error) => send({ event: "error", message: error.message }));
      } else {
        if (request.op === "close") hangUp();
        send({ event: "done" });
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
    stream.on("data", (bytes) => {
      const frame = Buffer.alloc(8 + bytes.length);
      frame.writeDoubleLE(clock(), 0);
      bytes.copy(frame, 8);
      socket.send(frame, { binary: true });
    });
    stream.on("end", () => end(true));  // a hang-up reads as the end of the stream
    stream.on("error", () => end(true));
    return { write: (data, done) => stream.write(data, done), close: () => end(false) };
  }

  close() {
    for (const client of this.wss.clients) client.terminate();
    return new Promise((resolve) => this.wss.close(resolve));
  }
}
