// The serial ports the user has granted the page (Web Serial), opened, read and written on the
// core's behalf: web_serial_device.cpp calls these through Module.page.lines. Received bytes
// are queued as they arrive; a read takes what is queued, or waits for the first byte up to its
// limit. Results are counts, or one of the negative codes below (the same in the C++ file).
// Also what the page and each firmware button (vestrel-flash.js) share to run a core: its
// waits, and starting it. One global name, VestrelLines, so that a vendor's page keeps its own;
// loading the script twice changes nothing.
"use strict";

var VestrelLines = VestrelLines || (() => {
  const LINE_TIMED_OUT = -1;
  const LINE_GONE = -2;
  const LINE_FAILED = -3;
  const LINE_NOT_FOUND = -4;
  const LINE_BUSY = -5;

  const PARITIES = ["none", "odd", "even"];  // the Win32 codes 0, 1, 2
  // Streams in a row that fail before giving a byte, after which the port counts as lost.
  const MAX_FAILED_STREAMS = 20;

  const taskChannel = new MessageChannel();
  const taskWaiters = [];
  taskChannel.port1.onmessage = () => taskWaiters.shift()();

  // Resolves in a task of its own, so that the page handles input and paints meanwhile (a timer
  // would do too, but nested timers are held back to at least 4 ms).
  function nextTask() {
    return new Promise((resolve) => {
      taskWaiters.push(resolve);
      taskChannel.port2.postMessage(0);
    });
  }

  function hex4(value) {
    return value.toString(16).toUpperCase().padStart(4, "0");
  }

  // The browser reports a port that went away (adapter pulled) as a NetworkError; the port then
  // has no readable stream any more. Line errors (framing, parity, break, overrun) keep it.
  function isLost(error, port) {
    return error && (error.name === "NetworkError" || port.readable === null);
  }

  // One open port: its reader runs for as long as the port is open and queues what arrives.
  class SerialLine {
    constructor(port, owner) {
      this.port = port;
      this.owner = owner;
      this.chunks = [];
      this.queued = 0;
      this.waiter = null;
      this.lostText = "";
      this.errorText = "";
      this.errorCounts = {};
      this.closing = false;
    }

    async open(options) {
      await this.port.open(options);
      this.closing = false;
      this.writer = this.port.writable.getWriter();
      this.reading = this.readLoop();
    }

    // A stream that fails at once, over and over, must not hold the page: each failed stream
    // gives the page a task before the next, and a port whose streams keep failing counts as lost.
    async readLoop() {
      let failed = 0;  // streams in a row that ended without a byte
      while (!this.closing && this.port.readable && !this.lostText) {
        this.reader = this.port.readable.getReader();
        let received = false;
        let why = "its input stream ended";
        try {
          for (;;) {
            const { value, done } = await this.reader.read();
            if (done) break;
            if (value.length === 0) continue;
            received = true;
            this.receive(value);
          }
        } catch (error) {
          if (this.closing) break;
          if (isLost(error, this.port)) {
            this.lose(error.message);
          } else {
            this.errorCounts[error.name] = (this.errorCounts[error.name] || 0) + 1;
            why = error.message ? `${error.name}: ${error.message}` : error.name;
          }
        } finally {
          this.reader.releaseLock();
        }
        failed = received ? 0 : failed + 1;
        if (failed >= MAX_FAILED_STREAMS) this.lose("", `${failed} reads in a row failed (${why})`);
        await nextTask();
      }
    }

    receive(bytes) {
      this.chunks.push(bytes);
      this.queued += bytes.length;
      this.wake();
    }

    // `failing`: why the port counts as lost although the browser still offers it.
    lose(text, failing = "") {
      if (!this.lostText) {
        this.lostText = text || failing || "The device has been lost.";
        this.failing = failing;
      }
      this.wake();
    }

    wake() {
      if (this.waiter) this.waiter();
    }

    // Resolves when bytes arrive, the port goes away, or `ms` passes (never when negative). When
    // the page was held up, the timer can come due together with bytes that are already on their
    // way: as a system's read would, it looks once more after the tasks queued before it.
    waitForBytes(ms) {
      if (this.queued > 0 || this.lostText || ms === 0) return Promise.resolve();
      return new Promise((resolve) => {
        const done = () => {
          clearTimeout(timer);
          this.waiter = null;
          ++this.owner.turns;
          resolve();
        };
        const timer = ms > 0 ? setTimeout(() => setTimeout(() => this.waiter === done && done()), ms)
          : null;
        this.waiter = done;
      });
    }

    take(max) {
      const out = new Uint8Array(Math.min(max, this.queued));
      let filled = 0;
      while (filled < out.length) {
        const chunk = this.chunks[0];
        const part = Math.min(chunk.length, out.length - filled);
        out.set(chunk.subarray(0, part), filled);
        filled += part;
        if (part === chunk.length) this.chunks.shift();
        else this.chunks[0] = chunk.subarray(part);
      }
      this.queued -= filled;
      return out;
    }

    clearInput() {
      this.chunks = [];
      this.queued = 0;
    }

    // A failure of a call on the port: lost, or failed with the browser's text.
    failure(error) {
      if (isLost(error, this.port)) {
        this.lose(error.message);
        return LINE_GONE;
      }
      this.errorText = error.message || String(error);
      return LINE_FAILED;
    }

    async write(bytes, limitMs) {
      if (this.lostText) return LINE_GONE;
      const writing = this.writer.write(bytes).then(
        () => bytes.length,
        (error) => this.failure(error),
      );
      if (limitMs < 0) return writing;
      let timer;
      const late = new Promise((resolve) => {
        timer = setTimeout(() => resolve(LINE_TIMED_OUT), limitMs);
      });
      try {
        return await Promise.race([writing, late]);
      } finally {
        clearTimeout(timer);
      }
    }

    async close() {
      this.closing = true;
      if (this.reader) await this.reader.cancel().catch(() => {});
      await this.reading;
      this.writer.releaseLock();
      await this.port.close().catch(() => {});  // a port that went away is closed already
      this.clearInput();
    }
  }

  // The granted ports by label, and the open lines by number.
  class SerialLines {
    constructor() {
      this.ports = new Map();  // label -> SerialPort
      this.lines = new Map();  // number -> SerialLine
      this.nextLine = 1;
      this.openError = "";
      this.turns = 0;  // waits that let the page's other tasks run meanwhile
    }

    // Adds a granted port (again: nothing changes) and returns its label, which says what it is.
    grant(port) {
      for (const [label, known] of this.ports) if (known === port) return label;
      const info = port.getInfo();
      const base = info.usbVendorId !== undefined
        ? "USB " + hex4(info.usbVendorId) + ":" + hex4(info.usbProductId ?? 0)
        : "serial port";
      let label = base;
      for (let n = 2; this.ports.has(label); ++n) label = base + " #" + n;
      this.ports.set(label, port);
      return label;
    }

    forget(port) {
      for (const [label, known] of this.ports) if (known === port) this.ports.delete(label);
      for (const line of this.lines.values()) if (line.port === port) line.lose("");
    }

    labels() {
      return [...this.ports.keys()];
    }

    options(baudRate, dataBits, stopBits, parity) {
      return { baudRate, dataBits, stopBits, parity: PARITIES[parity], flowControl: "none",
               bufferSize: 4096 };
    }

    async open(label, options) {
      const port = this.ports.get(label);
      if (!port) {
        this.openError = "the port is no longer granted to this page";
        return LINE_NOT_FOUND;
      }
      const line = new SerialLine(port, this);
      try {
        await line.open(options);
      } catch (error) {
        this.openError = error.message || String(error);
        return error.name === "InvalidStateError" ? LINE_BUSY : LINE_FAILED;
      }
      const number = this.nextLine++;
      this.lines.set(number, line);
      return number;
    }

    // A port cannot change its rate or framing while open: close it and open it again.
    async reopen(number, options) {
      const line = this.lines.get(number);
      await line.close();
      try {
        await line.open(options);
        return 0;
      } catch (error) {
        return line.failure(error);
      }
    }

    async close(number) {
      const line = this.lines.get(number);
      this.lines.delete(number);
      if (line) await line.close();
    }

    // What has arrived, at once: bytes, none (an empty array), or LINE_GONE.
    take(number, max) {
      const line = this.lines.get(number);
      if (line.queued > 0) return line.take(max);
      return line.lostText ? LINE_GONE : new Uint8Array(0);
    }

    write(number, bytes, limitMs) {
      return this.lines.get(number).write(bytes, limitMs);
    }

    async waitReadable(number, limitMs) {
      const line = this.lines.get(number);
      await line.waitForBytes(limitMs);
      if (line.queued > 0) return 1;
      return line.lostText ? LINE_GONE : LINE_TIMED_OUT;
    }

    state(number) {
      return this.lines.get(number).lostText ? LINE_GONE : 0;
    }

    clearInput(number) {
      this.lines.get(number).clearInput();
    }

    async setSignal(number, name, on) {
      const line = this.lines.get(number);
      if (line.lostText) return LINE_GONE;
      try {
        await line.port.setSignals({ [name]: on });
        return 0;
      } catch (error) {
        return line.failure(error);
      }
    }

    errorCount(number, kind) {
      return this.lines.get(number).errorCounts[kind] || 0;
    }

    // What went wrong last on a line; for number 0, with the last open.
    errorText(number) {
      if (number === 0) return this.openError;
      const line = this.lines.get(number);
      return line.lostText || line.errorText;
    }

    // Why a port that the browser still offers counts as lost ("" for one that went away).
    failing(number) {
      return this.lines.get(number).failing || "";
    }
  }

  // The view's waits (web_view.cpp), which suspend the core while the page runs on.
  function coreWaits(lines) {
    const FRAME_MS = 16;
    let pauses = 0;
    let turnsSeen = -1;
    let lastTurn = 0;
    return {
      // Short pauses go task by task: nested timers would be held back to at least 4 ms.
      async pause(ms) {
        const end = performance.now() + ms;
        if (ms > 4) await new Promise((resolve) => setTimeout(resolve, ms));
        while (performance.now() < end) await nextTask();
        ++pauses;
      },
      // "Let queued messages run once": the page gets a task of its own unless it had one within
      // a frame's time, while the core waited for the port or paused (it is suspended then); a
      // task for every block would cost a load seconds.
      needsTurn() {
        const turns = lines.turns + pauses;
        if (turns !== turnsSeen) {
          turnsSeen = turns;
          lastTurn = performance.now();
        }
        return performance.now() - lastTurn >= FRAME_MS;
      },
      async processMessages() {
        await nextTask();
        lastTurn = performance.now();
      },
    };
  }

  // A core of its own (vestrel-core.js loaded) for `view` and `lines`; resolves once it runs.
  // The chosen files live in its memory file system, in a folder of their own.
  async function startCore(view, lines, onAbort, locateFile) {
    const core = await createVestrelCore({
      page: { view, lines },
      print: (text) => console.log(text),
      printErr: (text) => console.warn(text),
      onAbort,
      ...(locateFile ? { locateFile } : {}),
    });
    core.FS.mkdir("/hex");
    core.FS.chdir("/hex");
    return core;
  }

  return { SerialLines, nextTask, coreWaits, startCore };
})();
