// <vestrel-flash manifest="firmware/manifest.json">: a firmware button for a vendor's page. It
// reads the manifest (docs/firmware-manifest.schema.json), checks every build's SHA-256 before
// anything is sent, lets the customer choose the board's port, connects, picks the build that
// fits the flash size and bootloader version the board reports, and loads it with the same
// WebAssembly core as the page (serial_lines.js and vestrel-core.js, loaded from beside this
// script). It says what happened in plain words, and offers to flash another board.
//
// Styling: the custom properties --vestrel-flash-accent, -ink, -muted, -surface, -radius and
// -font, and the parts header, name, version, notes, button, again, progress, status, details.
// Texts: the slots label (the button), again, done and unsupported.
"use strict";

(() => {
  if (customElements.get("vestrel-flash")) return;
  const scriptUrl = document.currentScript ? document.currentScript.src : location.href;
  const FREE_RATE_INDEX = 8;  // the core's baud list: any other rate
  const CONNECT = 1;
  const STEP = { file: 0, connect: 1, erase: 2, program: 3, verify: 4, run: 5 };  // app::Step

  const TEXT = {
    unsupported: "This browser cannot update the firmware: it needs Web Serial, which Chrome, " +
      "Edge and Opera offer on computers (not on phones), on a page served over HTTPS.",
    loading: "Reading the firmware description…",
    broken: (why) => `The firmware description could not be read (${why}). Nothing was sent to ` +
      "a board. Please try again later, or tell the maker of this page.",
    ready: "Connect the board, then click the button.",
    checking: "Checking the firmware…",
    download: (path, why) => `The firmware file ${path} could not be downloaded (${why}). ` +
      "Nothing was sent to the board.",
    mismatch: (path) => `The firmware file ${path} is not the one this page describes (its ` +
      "SHA-256 checksum differs), so it was not sent. Nothing was changed on the board. " +
      "Please tell the maker of this page.",
    badReset: (reset, why) => `The firmware description names a reset sequence that cannot be ` +
      `used ("${reset}": ${why}). Nothing was sent to the board. Please tell the maker of this page.`,
    choose: "Choose the board's port in the browser's list.",
    cancelled: "No port was chosen, so nothing was sent. Click the button to try again.",
    chooserFailed: (why) => `The browser did not offer its port list (${why}).`,
    connecting: "Connecting to the board…",
    busyPort: "The port could not be opened: another program or browser tab may be using it. " +
      "Close it, then try again.",
    portFailed: "The port could not be opened or set up. Unplug the board, plug it in again, " +
      "then try again.",
    noReset: "The board's port cannot reset the board (it has no DTR or RTS lines). Put the " +
      "board into its update mode by hand, then try again.",
    oddBoard: "The board answered, but not as a board this firmware is for. Nothing was " +
      "changed on the board.",
    silent: "The board did not answer. Check the cable, put the board into its update mode " +
      "(see its manual), then try again.",
    noFit: (size, version, count) => `This firmware is not made for this board: it reports ` +
      `${size} KiB of flash and bootloader ${version}, and none of the ${count} builds fits. ` +
      "Nothing was changed on the board.",
    unreadable: (path) => `The firmware file ${path} could not be read, so nothing was sent. ` +
      "Please tell the maker of this page.",
    updating: "Updating the firmware. Do not unplug the board or close this page.",
    lost: "The connection to the board was lost (was the cable pulled?). The update did not " +
      "finish: connect the board again and click the button.",
    badLine: "The line to the board is unreliable (its replies came damaged or too slowly). " +
      "Try another cable or USB port, then try again.",
    eraseFailed: "The board did not erase its memory, so the update did not start. Try again.",
    writeFailed: "The firmware could not be written to the board completely. Try again; the " +
      "board may not start until an update succeeds.",
    runFailed: "The firmware is on the board, but the board did not start it. Unplug the board " +
      "and plug it in again.",
    done: (name, version) => `Done: ${name} ${version} is on the board and running.`,
    next: "Connect the next board, then click the button.",
  };

  // --- the runtime: serial_lines.js and the core's factory, loaded once for every button ---

  let runtime = null;
  function loadScript(name) {
    return new Promise((resolve, reject) => {
      const script = document.createElement("script");
      script.src = new URL(name, scriptUrl).href;
      script.onload = resolve;
      script.onerror = () => reject(new Error(`${name} could not be loaded`));
      document.head.append(script);
    });
  }
  function loadRuntime() {
    runtime ??= (async () => {
      if (typeof VestrelLines === "undefined") await loadScript("serial_lines.js");
      if (typeof createVestrelCore === "undefined") await loadScript("vestrel-core.js");
    })();
    return runtime;
  }

  // --- the manifest ---

  const isHash = (text) => typeof text === "string" && /^[0-9a-fA-F]{64}$/.test(text);

  // "1.2" (and the core's "01.02") -> 258, so that versions compare; NaN when malformed.
  function versionNumber(text) {
    const match = /^(\d{1,3})\.(\d{1,3})$/.exec(String(text));
    return match && match[1] < 256 && match[2] < 256 ? match[1] * 256 + Number(match[2]) : NaN;
  }

  // The customer's words for a connect that failed with the core's error class (not no-sync,
  // after which the next rate is tried).
  function connectFailure(error) {
    if (error === "port-busy") return TEXT.busyPort;
    if (["port-absent", "port-denied", "port-unusable"].includes(error)) return TEXT.portFailed;
    if (error === "reset-failed") return TEXT.noReset;
    if (error === "bad-reply") return TEXT.oddBoard;
    if (["line-noisy", "line-slow"].includes(error)) return TEXT.badLine;
    return TEXT.lost;  // link-lost, line-stalled
  }

  // ... and for the load's first step that did not succeed.
  function loadFailure(step, error) {
    if (["link-lost", "line-stalled", "line-noisy", "line-slow"].includes(error)) {
      return connectFailure(error);
    }
    if (step === "connect") return error === "no-sync" ? TEXT.silent : connectFailure(error);
    if (step === "erase") return TEXT.eraseFailed;
    return step === "run" ? TEXT.runFailed : TEXT.writeFailed;
  }

  // The manifest's builds, checked; throws with what is wrong.
  function readManifest(manifest, base) {
    if (typeof manifest !== "object" || manifest === null) throw new Error("not a JSON object");
    for (const key of ["name", "version"]) {
      if (typeof manifest[key] !== "string") throw new Error(`"${key}" is missing`);
    }
    if (!Array.isArray(manifest.builds) || manifest.builds.length === 0) {
      throw new Error('"builds" lists no build');
    }
    const builds = manifest.builds.map((build, index) => {
      const where = `build ${index + 1}`;
      if (typeof build.path !== "string" || !build.path) throw new Error(`${where} has no "path"`);
      if (!isHash(build.sha256)) throw new Error(`${where} has no valid "sha256"`);
      if (!Number.isInteger(build.rate) || build.rate <= 0) throw new Error(`${where} has no "rate"`);
      const range = (value, parse, name) => {
        if (value === undefined) return [-Infinity, Infinity];
        const low = value.min === undefined ? -Infinity : parse(value.min);
        const high = value.max === undefined ? Infinity : parse(value.max);
        if (Number.isNaN(low) || Number.isNaN(high)) throw new Error(`${where} has a bad "${name}"`);
        return [low, high];
      };
      return {
        path: build.path,
        url: new URL(build.path, base).href,
        sha256: build.sha256.toLowerCase(),
        rate: build.rate,
        reset: typeof build.reset === "string" ? build.reset : "",
        keepsSettings: build.keeps_settings === true,
        flash: range(build.flash_size, Number, "flash_size"),
        bootloader: range(build.bootloader, versionNumber, "bootloader"),
      };
    });
    const notes = typeof manifest.release_notes === "string"
      ? new URL(manifest.release_notes, base).href : "";
    return { name: manifest.name, version: manifest.version, notes, builds };
  }

  const fits = ([low, high], value) => value >= low && value <= high;

  async function sha256(bytes) {
    const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
    return [...digest].map((b) => b.toString(16).padStart(2, "0")).join("");
  }

  // --- the element ---

  // A constructed style sheet: a page's Content-Security-Policy that allows no inline style
  // (style-src 'self') still lets the element style itself.
  const sheet = new CSSStyleSheet();
  sheet.replaceSync(`
  :host {
    display: block;
    max-width: 32rem;
    font: var(--vestrel-flash-font, 1rem/1.45 system-ui, sans-serif);
    color: var(--vestrel-flash-ink, #1d2430);
  }
  :host([hidden]) { display: none; }
  .box {
    display: grid;
    gap: 0.75rem;
    padding: 1rem;
    border: 1px solid #c9d0da;
    border-radius: var(--vestrel-flash-radius, 8px);
    background: var(--vestrel-flash-surface, #fff);
  }
  header { display: flex; flex-wrap: wrap; gap: 0.25rem 0.6rem; align-items: baseline; }
  [part="name"] { font-weight: 600; font-size: 1.1em; }
  [part="version"], [part="notes"] { color: var(--vestrel-flash-muted, #5a6473); }
  button {
    font: inherit;
    justify-self: start;
    min-height: 2.75rem;
    padding: 0 1.25rem;
    border-radius: calc(var(--vestrel-flash-radius, 8px) - 2px);
    cursor: pointer;
  }
  [part="button"] {
    font-weight: 600;
    color: #fff;
    border: 1px solid var(--vestrel-flash-accent, #0b62c4);
    background: var(--vestrel-flash-accent, #0b62c4);
  }
  [part="again"] {
    color: var(--vestrel-flash-accent, #0b62c4);
    border: 1px solid currentColor;
    background: transparent;
  }
  button:disabled { cursor: default; opacity: 0.55; }
  button:focus-visible { outline: 3px solid #f0a400; outline-offset: 2px; }
  progress { width: 100%; height: 0.9rem; accent-color: var(--vestrel-flash-accent, #0b62c4); }
  [part="status"] { margin: 0; overflow-wrap: anywhere; }
  :host([state="done"]) [part="status"] { font-weight: 600; color: #1a7f37; }
  :host([state="failed"]) [part="status"], :host([state="broken"]) [part="status"],
  :host([state="unsupported"]) [part="status"] { color: #b3261e; }
  details { color: var(--vestrel-flash-muted, #5a6473); font-size: 0.85em; }
  pre { white-space: pre-wrap; overflow-wrap: anywhere; margin: 0.4rem 0 0; }
  [hidden] { display: none !important; }
`);

  const template = document.createElement("template");
  template.innerHTML = `
<div class="box">
  <header part="header">
    <span part="name" id="name"></span><span part="version" id="version"></span>
    <a part="notes" id="notes" target="_blank" rel="noopener" hidden>release notes</a>
  </header>
  <button type="button" part="button" id="start" disabled><slot name="label">Update firmware</slot></button>
  <progress part="progress" id="bar" max="100" value="0" hidden></progress>
  <p part="status" id="status" role="status" aria-live="polite"></p>
  <p part="status" id="done" hidden><slot name="done"></slot></p>
  <p part="status" id="unsupported" hidden><slot name="unsupported"></slot></p>
  <details part="details" id="details" hidden><summary>Details</summary><pre id="detail-text"></pre></details>
  <button type="button" part="again" id="again" hidden><slot name="again">Flash another board</slot></button>
</div>`;

  class VestrelFlash extends HTMLElement {
    static get observedAttributes() { return ["manifest"]; }

    constructor() {
      super();
      const shadow = this.attachShadow({ mode: "open" });
      shadow.adoptedStyleSheets = [sheet];
      shadow.append(template.content.cloneNode(true));
      this.$ = (id) => this.shadowRoot.getElementById(id);
      this.firmware = null;  // the manifest, read
      this.verified = new Map();  // url -> the file's bytes, once their SHA-256 matched
      this.busy = false;
      this.core = null;
      this.passes = 0;  // of the core's progress bar, in this update
      this.lastPercent = 0;
      this.$("start").addEventListener("click", () => this.update());
      this.$("again").addEventListener("click", () => this.another());
      window.addEventListener("beforeunload", (event) => this.busy && event.preventDefault());
    }

    connectedCallback() {
      if (!navigator.serial) {
        this.show("unsupported", this.slotted("unsupported") ? "" : TEXT.unsupported);
        this.$("unsupported").hidden = !this.slotted("unsupported");
        return;
      }
      this.started = true;
      this.readManifest();
      loadRuntime().catch(() => {});  // ready by the time the button is clicked
    }

    // A manifest named after the element is on the page is read again.
    attributeChangedCallback() {
      if (this.started && navigator.serial && !this.busy) this.readManifest();
    }

    slotted(name) {
      return this.querySelector(`[slot="${name}"]`) !== null;
    }

    // The state (an attribute, for styling and tests) and its text.
    show(state, text, details = []) {
      this.setAttribute("state", state);
      this.$("status").textContent = text;
      this.$("status").hidden = text === "";
      this.$("details").hidden = details.length === 0;
      this.$("detail-text").textContent = details.join("\n\n");
      this.$("start").disabled = !["ready", "failed"].includes(state);
      this.$("bar").hidden = state !== "busy";
      this.$("done").hidden = true;
    }

    async readManifest() {
      this.firmware = null;
      this.verified.clear();
      this.show("loading", TEXT.loading);
      const source = this.getAttribute("manifest");
      try {
        if (!source) throw new Error('the element has no "manifest" attribute');
        const url = new URL(source, document.baseURI);
        const response = await fetch(url, { cache: "no-cache" });
        if (!response.ok) throw new Error(`HTTP ${response.status}`);
        this.firmware = readManifest(await response.json(), response.url || url);
      } catch (error) {
        this.show("broken", TEXT.broken(error.message));
        return;
      }
      this.$("name").textContent = this.firmware.name;
      this.$("version").textContent = this.firmware.version;
      this.$("notes").href = this.firmware.notes;
      this.$("notes").hidden = !this.firmware.notes;
      this.show("ready", TEXT.ready);
    }

    another() {
      this.$("again").hidden = true;
      this.show("ready", TEXT.next);
      this.$("start").focus();
    }

    // Every build's file, downloaded and checked; a text when one is missing or differs.
    async checkFiles() {
      for (const build of this.firmware.builds) {
        if (this.verified.has(build.url)) continue;
        let bytes;
        try {
          const response = await fetch(build.url, { cache: "no-cache" });
          if (!response.ok) throw new Error(`HTTP ${response.status}`);
          bytes = new Uint8Array(await response.arrayBuffer());
        } catch (error) {
          return TEXT.download(build.path, error.message);
        }
        if ((await sha256(bytes)) !== build.sha256) return TEXT.mismatch(build.path);
        this.verified.set(build.url, bytes);
      }
      return "";
    }

    async startCore() {
      if (this.core) return;
      await loadRuntime();
      const { SerialLines, coreWaits, startCore } = VestrelLines;
      this.lines = new SerialLines();
      this.messages = [];
      // The core's own texts go under Details; the element words the outcome itself.
      const view = {
        setText() {},
        setProgress: (percent) => this.progress(percent),
        setStatusPanel() {},
        showMessage: async (text) => { this.messages.push(text); },
        setButtonEnabled() {},
        setListEnabled() {},
        selectedBaudIndex: () => -1,
        selectBaudIndex() {},
        ...coreWaits(this.lines),
      };
      this.core = await startCore(view, this.lines, (what) => this.messages.push(String(what)),
        (name) => new URL(name, scriptUrl).href);
    }

    // The core's bar runs from 0 to 100 for the erase, the writing and the verify pass in turn;
    // the customer sees one bar for the whole update.
    progress(percent) {
      if (percent < this.lastPercent) this.passes += 1;
      this.lastPercent = percent;
      this.$("bar").value = Math.min(100, (Math.min(this.passes, 2) * 100 + percent) / 3);
    }

    call(name, types = [], args = []) {
      return this.core.ccall(name, null, types, args, { async: true });
    }

    // "ok", the class of the step's failure ("no-sync", ...), or "" when it has not run.
    step(name) {
      return this.core.ccall("vestrel_step", "string", ["number"], [STEP[name]]);
    }

    // Connects at each rate and reset of the builds in turn, until the board answers; the
    // group of builds it answered for, or a text.
    async connect(label) {
      const groups = new Map();
      for (const build of this.firmware.builds) {
        const key = `${build.rate} ${build.reset}`;
        if (!groups.has(key)) groups.set(key, []);
        groups.get(key).push(build);
      }
      for (const builds of groups.values()) {
        const { rate, reset } = builds[0];
        const error = this.core.ccall("vestrel_set_reset", "string", ["string"], [reset]);
        if (error) return TEXT.badReset(reset, error);
        this.core.ccall("vestrel_choose_line", null, ["string", "string", "number", "number"],
          ["the board's port", label, FREE_RATE_INDEX, rate]);
        await this.call("vestrel_click", ["number"], [CONNECT]);
        const outcome = this.step("connect");
        if (outcome === "ok") return builds;
        if (outcome !== "no-sync") return connectFailure(outcome);
      }
      return TEXT.silent;
    }

    async update() {
      if (this.busy || !this.firmware) return;
      this.busy = true;
      this.messages = [];
      this.$("again").hidden = true;
      try {
        await this.run();
      } catch (error) {
        this.show("failed", `Something went wrong: ${error.message}`, this.messages);
      } finally {
        if (this.core) await this.call("vestrel_close_port");
        this.busy = false;
      }
    }

    async run() {
      this.show("checking", TEXT.checking);
      const bad = await this.checkFiles();
      if (bad) return this.show("failed", bad);
      this.show("choosing", TEXT.choose);
      let port;
      try {
        port = await navigator.serial.requestPort();
      } catch (error) {
        if (error.name === "NotFoundError") return this.show("ready", TEXT.cancelled);
        return this.show("failed", TEXT.chooserFailed(error.message));
      }
      await this.startCore();
      this.show("busy", TEXT.connecting);
      this.$("bar").value = 0;
      const label = this.lines.grant(port);
      const group = await this.connect(label);
      if (typeof group === "string") return this.show("failed", group, this.messages);

      const flash = this.core.ccall("vestrel_flash_size", "number", [], []);
      const version = this.core.ccall("vestrel_bootloader_version", "string", [], []);
      const build = group.find((b) => fits(b.flash, flash) &&
        fits(b.bootloader, versionNumber(version.slice(1))));
      if (!build) {
        return this.show("failed", TEXT.noFit(flash / 1024, version, this.firmware.builds.length));
      }

      const name = build.path.split("/").pop() || "firmware";
      this.core.FS.writeFile(name, this.verified.get(build.url));
      await this.call("vestrel_open_file", ["string"], [name]);
      if (this.step("file") !== "ok") {
        return this.show("failed", TEXT.unreadable(build.path), this.messages);
      }

      // The board is in its bootloader now: the load's own connect needs no second reset.
      this.core.ccall("vestrel_set_reset", "string", ["string"], [""]);
      this.core.ccall("vestrel_set_skip_blank", null, ["number"], [build.keepsSettings ? 1 : 0]);
      this.show("busy", TEXT.updating);
      this.passes = 0;
      this.lastPercent = 0;
      await this.call("vestrel_run_all");
      if (this.step("run") === "ok") return this.succeed();
      const failed = ["connect", "erase", "program", "verify", "run"]
        .find((name) => this.step(name) !== "ok");
      this.show("failed", loadFailure(failed, this.step(failed)), this.messages);
    }

    succeed() {
      const own = this.slotted("done");
      this.show("done", own ? "" : TEXT.done(this.firmware.name, this.firmware.version));
      this.$("done").hidden = !own;
      this.$("again").hidden = false;
      this.$("again").focus();
    }
  }

  customElements.define("vestrel-flash", VestrelFlash);
})();
