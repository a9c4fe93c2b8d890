// A stand-in for navigator.serial with the shape of the real API (Web Serial), installed by the
// tests before the page's scripts run: requestPort() "chooses" the one port at once, and that
// port's byte streams are carried by serial_bridge.mjs to the simulator's pseudo-terminal. As
// in the browser, a port that goes away errors its readable stream with a NetworkError ("The
// device has been lost."), rejects writes, has no streams any more and fires "disconnect".
// Evaluated in the page as a function of the bridge's address.
(bridgeUrl) => {
  const lostError = () => new DOMException("The device has been lost.", "NetworkError");
  // Binary frames start with the sender's clock (ms since the epoch, a little-endian double):
  // the benchmark tells the bridge's own time from the page's.
  const clock = () => performance.timeOrigin + performance.now();

  class FakeSerialPort extends EventTarget {
    constructor(serial) {
      super();
      this.serial = serial;
      this.socket = null;
      this.lost = false;
      this.chunks = [];  // received, not yet read
      this.pull = null;  // the waiting read of the current readable stream
      this.replies = [];  // resolvers of the bridge's answers to requests
      this.readableStream = null;
      this.writableStream = null;
    }

    getInfo() {
      return { usbVendorId: 0x1209, usbProductId: 0x0001 };
    }

    get readable() {
      if (!this.socket || this.lost) return null;
      if (!this.readableStream) this.readableStream = this.makeReadable();
      return this.readableStream;
    }

    get writable() {
      if (!this.socket || this.lost) return null;
      if (!this.writableStream) this.writableStream = this.makeWritable();
      return this.writableStream;
    }

    async open(options) {
      if (!options || !Number.isInteger(options.baudRate) || options.baudRate <= 0) {
        throw new TypeError("Failed to execute 'open' on 'SerialPort': Requested baud rate is invalid.");
      }
      if (this.socket) throw new DOMException("The port is already open.", "InvalidStateError");
      this.serial.log.push({ op: "open", options });
      const socket = new WebSocket(bridgeUrl);
      socket.binaryType = "arraybuffer";
      await new Promise((resolve, reject) => {
        socket.onopen = resolve;
        socket.onerror = () => reject(new DOMException("Failed to open serial port.", "NetworkError"));
      });
      socket.onmessage = (event) => this.message(event.data);
      socket.onclose = () => this.goneAway();
      this.socket = socket;
      this.lost = false;
      this.chunks = [];
      const answer = await this.request({ op: "open", options });
      if (answer.event !== "opened") {
        this.socket = null;
        socket.onclose = null;
        socket.close();
        throw new DOMException("Failed to open serial port.", "NetworkError");
      }
    }

    request(message) {
      return new Promise((resolve) => {
        this.replies.push(resolve);
        this.socket.send(JSON.stringify(message));
      });
    }

    message(data) {
      if (typeof data !== "string") {
        this.serial.bridgeDelay = clock() - new DataView(data).getFloat64(0, true);
        return this.receive(new Uint8Array(data, 8));
      }
      const answer = JSON.parse(data);
      if (answer.event === "lost") return this.goneAway();
      this.replies.shift()?.(answer);
    }

    receive(bytes) {
      this.serial.lastReceived = performance.now();
      if (this.pull) {
        const { resolve } = this.pull;
        this.pull = null;
        resolve(bytes);
      } else {
        this.chunks.push(bytes);
      }
    }

    goneAway() {
      if (this.lost || !this.socket) return;
      this.lost = true;
      this.socket.onclose = null;
      this.socket.close();
      if (this.pull) this.pull.reject(lostError());
      this.pull = null;
      for (const reply of this.replies.splice(0)) reply({ event: "lost" });
      this.dispatchEvent(new Event("disconnect"));
      // The event bubbles from the port to navigator.serial: its target is still the port.
      const bubbled = new Event("disconnect");
      Object.defineProperty(bubbled, "target", { value: this });
      this.serial.dispatchEvent(bubbled);
      this.serial.disconnected(this);
    }

    makeReadable() {
      return new ReadableStream({
        pull: (controller) => new Promise((resolve, reject) => {
          if (this.lost) return reject(lostError());
          const failing = this.serial.failingReads;
          if (failing) return reject(new DOMException(`A ${failing} was detected.`, failing));
          if (this.chunks.length) return resolve(this.chunks.shift());
          this.pull = { resolve, reject };
        }).then((bytes) => controller.enqueue(bytes), (error) => {
          this.readableStream = null;
          controller.error(error);
        }),
        cancel: () => {
          this.pull = null;
          this.readableStream = null;
        },
      }, { highWaterMark: 0 });
    }

    makeWritable() {
      return new WritableStream({
        // Done once handed on, as the browser's is once the system has taken the bytes.
        write: (chunk) => {
          if (this.lost) throw lostError();
          this.serial.turnedAround();
          const frame = new Uint8Array(8 + chunk.length);
          frame.set(chunk, 8);
          new DataView(frame.buffer).setFloat64(0, clock(), true);
          this.socket.send(frame);
        },
        close: () => {
          this.writableStream = null;
        },
        abort: () => {
          this.writableStream = null;
        },
      });
    }

    async setSignals(signals) {
      if (!this.socket) throw new DOMException("The port is closed.", "InvalidStateError");
      if (this.lost) throw lostError();
      this.serial.log.push({ op: "signals", signals });
      await this.request({ op: "signals", signals });
    }


    async getSignals() {
      if (!this.socket || this.lost) throw new DOMException("The port is closed.", "InvalidStateError");
      return { dataCarrierDetect: false, clearToSend: false, ringIndicator: false, dataSetReady: false };
    }

    async close() {
      if (!this.socket) throw new DOMException("The port is already closed.", "InvalidStateError");
      if (this.readableStream?.locked || this.writableStream?.locked) {
        throw new TypeError("Failed to execute 'close' on 'SerialPort': Cannot cancel a locked stream");
      }
      this.serial.log.push({ op: "close" });
      const socket = this.socket;
      if (!this.lost) await this.request({ op: "close" });
      socket.onclose = null;
      socket.close();
      this.socket = null;
      this.readableStream = null;
      this.writableStream = null;
      this.lost = false;
    }

    async forget() {
      this.serial.disconnected(this);
    }
  }

  class FakeSerial extends EventTarget {
    constructor() {
      super();
      this.granted = [];
      this.log = [];  // what the page asked of the ports, for the tests
      this.failingReads = "";  // a line error name: every read of every stream fails with it
      // For the benchmark, summed over the writes that follow a reply: the page's own time from
      // the last bytes of the reply to the write, and how long those bytes took through the
      // bridge.
      this.timing = { turnarounds: 0, turnaroundMs: 0, bridgeInMs: 0 };
      this.lastReceived = null;
      this.bridgeDelay = 0;
    }

    turnedAround() {
      if (this.lastReceived === null) return;
      this.timing.turnarounds += 1;
      this.timing.turnaroundMs += performance.now() - this.lastReceived;
      this.timing.bridgeInMs += this.bridgeDelay;
      this.lastReceived = null;
    }

    async requestPort() {
      this.log.push({ op: "requestPort" });
      if (!this.granted.length) this.granted.push(new FakeSerialPort(this));
      return this.granted[0];
    }

    async getPorts() {
      return [...this.granted];
    }

    disconnected(port) {
      this.granted = this.granted.filter((p) => p !== port);
    }
  }

  const serial = new FakeSerial();
  Object.defineProperty(Navigator.prototype, "serial", { get: () => serial, configurable: true });
  Object.defineProperty(window, "fakeSerial", { value: serial });
}
