// What the page tests and the browser benchmark share: the page's server with the serial
// bridge, Debian's chromium through puppeteer-core (never a downloaded browser), vestrel-sim on
// a pseudo-terminal, and the page's helpers.
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";

import { startServer } from "../../scripts/serve-web.mjs";
import { SerialBridge } from "./serial_bridge.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, "..", "..");

export const paths = {
  site: process.env.VESTREL_WEB_SITE || path.join(root, "build-web", "site"),
  sim: process.env.VESTREL_SIM || path.join(root, "build", "bin", "vestrel-sim"),
  chromium: process.env.VESTREL_CHROMIUM || "/usr/bin/chromium",
  screenshots: path.join(root, "build-web", "screenshots"),
};

const fakeSerialSource = fs.readFileSync(path.join(here, "fake_serial.js"), "utf8");

// --- the simulated bootloader ---

export class Simulator {
  // `options`: extra vestrel-sim options, e.g. ["--silent"].
  constructor(options = [], flashSize = 0x8000) {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), "vestrel-web-"));
    this.log = path.join(this.dir, "sim.jsonl");
    this.flashOut = path.join(this.dir, "flash.bin");
    this.flashSize = flashSize;
    // --max-seconds: a simulator whose test was killed ends by itself.
    this.process = spawn(paths.sim, ["--flash-size", String(flashSize), "--erase-ms", "200",
      "--log", this.log, "--flash-out", this.flashOut, "--quiet", "--max-seconds", "900", ...options],
      { stdio: ["ignore", "pipe", "inherit"] });
    this.ended = new Promise((resolve) => this.process.once("exit", resolve));
  }

  // Resolves with the pseudo-terminal's path, the first line the simulator prints.
  device() {
    return new Promise((resolve, reject) => {
      const lines = readline.createInterface({ input: this.process.stdout });
      lines.once("line", (line) => {
        lines.close();
        resolve(line.trim());
      });
      this.process.once("exit", (code) => reject(new Error(`vestrel-sim ended (${code})`)));
    });
  }

  // Ends the simulator; resolves with its exit record (byte counts) and the flash contents.
  async stop() {
    this.process.kill("SIGTERM");
    await this.ended;
    const read = (file) => (fs.existsSync(file) ? fs.readFileSync(file) : Buffer.alloc(0));
    const events = read(this.log).toString().split("\n").filter(Boolean).map((l) => JSON.parse(l));
    const flash = read(this.flashOut);
    fs.rmSync(this.dir, { recursive: true, force: true });
    return { record: events.filter((e) => e.event === "exit").pop(), events, flash };
  }
}

// --- HEX files ---

function record(type, address, bytes) {
  const body = [bytes.length, (address >> 8) & 0xff, address & 0xff, type, ...bytes];
  const sum = (0x100 - (body.reduce((a, b) => a + b, 0) & 0xff)) & 0xff;
  return ":" + [...body, sum].map((b) => b.toString(16).toUpperCase().padStart(2, "0")).join("");
}

// An Intel HEX text with 16-byte data records from the physical `address` on.
export function hexText(address, data) {
  const lines = [];
  let upper = -1;
  for (let offset = 0; offset < data.length; offset += 16) {
    const at = address + offset;
    if (at >>> 16 !== upper) {
      upper = at >>> 16;
      lines.push(record(4, 0, [upper >> 8, upper & 0xff]));
    }
    lines.push(record(0, at & 0xffff, [...data.subarray(offset, offset + 16)]));
  }
  lines.push(":00000001FF");
  return lines.join("\n") + "\n";
}

// The program flash image of `size` bytes that a HEX text gives (0xFF where it has no data).
export function imageOf(text, size) {
  const image = Buffer.alloc(size, 0xff);
  let upper = 0;
  for (const line of text.split(/\r?\n/)) {
    const bytes = Buffer.from(line.slice(1), "hex");
    const type = bytes[3];
    if (type === 4) upper = bytes.readUInt16BE(4);
    if (type !== 0) continue;
    const offset = ((upper << 16) | bytes.readUInt16BE(1)) - 0x1d000000;
    if (offset >= 0 && offset < size) bytes.subarray(4, 4 + bytes[0]).copy(image, offset);
  }
  return image;
}

// A linked 32-bit little-endian MIPS program whose one loadable segment holds `data` at the
// physical `address` (no section headers: the segment is loaded whole).
export function elfBytes(address, data) {
  const header = Buffer.alloc(52 + 32);
  Buffer.from([0x7f, 0x45, 0x4c, 0x46, 1, 1, 1]).copy(header);
  header.writeUInt16LE(2, 16);  // executable
  header.writeUInt16LE(8, 18);  // MIPS
  header.writeUInt32LE(1, 20);
  header.writeUInt32LE(52, 28);  // program headers
  header.writeUInt16LE(52, 40);
  header.writeUInt16LE(32, 42);
  header.writeUInt16LE(1, 44);
  const segment = [1, 84, address + 0x80000000, address, data.length, data.length, 5, 4];
  segment.forEach((value, i) => header.writeUInt32LE(value >>> 0, 52 + 4 * i));
  return Buffer.concat([header, Buffer.from(data)]);
}

// Bytes that differ from block to block, the same on every run.
export function pattern(size, seed = 1) {
  const bytes = new Uint8Array(size);
  let state = seed;
  for (let i = 0; i < size; ++i) {
    state = (state * 1103515245 + 12345) >>> 0;
    bytes[i] = state >>> 24;
  }
  return bytes;
}

// --- the page's server and the browser ---

// The page's site; `mounts` adds folders under path prefixes (a test's manifests and files).
export async function startSite(mounts = {}) {
  const { server, url } = await startServer({ root: paths.site, mounts });
  const bridge = new SerialBridge(server);
  const close = async () => {
    await bridge.close();
    server.closeAllConnections?.();
    await new Promise((resolve) => server.close(resolve));
  };
  return { url, bridge, close };
}

export async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "vestrel-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: paths.chromium,
    headless: true,
    userDataDir: profile,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const close = async () => {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { browser, close };
}

// Records what the user sees on the page, in order: information line, percent text, version
// text, and the boxes as they open (nothing on a page without them).
function recordSeen() {
  window.seen = { info: [], percent: [], version: [], boxes: [] };
  document.addEventListener("DOMContentLoaded", () => {
    if (!document.getElementById("message")) return;
    for (const id of ["info", "percent", "version"]) {
      new MutationObserver((records) => {
        for (const r of records) for (const node of r.addedNodes) window.seen[id].push(node.textContent);
      }).observe(document.getElementById(id), { childList: true });
    }
    const box = document.getElementById("message");
    new MutationObserver(() => {
      if (box.open) {
        window.seen.boxes.push({ caption: document.getElementById("message-caption").textContent,
          text: [...document.querySelectorAll("#message-text p")].map((p) => p.textContent).join("\n") });
      }
    }).observe(box, { attributes: true, attributeFilter: ["open"] });
  });
}

// A page in a fresh browser context, with the stand-in for navigator.serial unless `serial` is
// false; every request it makes is collected in `page.requests`, its errors in `page.errors`.
// `ready`: what the page shows once it can be used (by default: the page's open button).
export async function openPage(browser, url, { serial = true, width = 900, height = 700,
  ready = () => !document.getElementById("open").disabled } = {}) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  page.requests = [];
  page.on("request", (request) => page.requests.push(request.url()));
  page.errors = [];
  page.on("pageerror", (error) => page.errors.push(error.message));
  page.on("console", (message) => message.type() === "error" && page.errors.push(message.text()));
  await page.setViewport({ width, height });
  const bridgeUrl = new URL("/serial-bridge", url).href.replace(/^http/, "ws");
  if (serial) await page.evaluateOnNewDocument(`(${fakeSerialSource})(${JSON.stringify(bridgeUrl)})`);
  else await page.evaluateOnNewDocument(() => delete Navigator.prototype.serial);
  await page.evaluateOnNewDocument(recordSeen);
  await page.goto(url);
  await page.waitForFunction(ready);
  page.closeContext = () => context.close();
  return page;
}

// --- acting as the user ---

export async function chooseFile(page, file) {
  const input = await page.$("#file-input");
  await input.uploadFile(file);
  await settled(page);
}

// Drops `file` onto the page as the browser does when a file is dragged in from the desktop.
export async function dropFile(page, file) {
  const session = await page.createCDPSession();
  const data = { items: [], files: [file], dragOperationsMask: 1 };
  for (const type of ["dragEnter", "dragOver", "drop"]) {
    await session.send("Input.dispatchDragEvent", { type, x: 200, y: 300, data });
  }
  await session.detach();
  await settled(page);
}

export async function choosePort(page, baud = "115200") {
  await page.click("#choose-port");
  await page.waitForFunction(() => document.getElementById("port").value !== "");
  await page.select("#baud", baud);
}

// Waits until the operation has ended or shows a box.
export async function settled(page, timeout = 90000) {
  await page.waitForFunction(
    () => !document.body.classList.contains("busy") || document.getElementById("message").open,
    { polling: "mutation", timeout });
}

// Closes the box as a user does, with a click on OK (`key`: with that key instead).
export async function closeBox(page, key) {
  if (key) await page.keyboard.press(key);  // the box's OK button has the focus
  else await page.click("#message-ok");
  await page.waitForFunction(() => !document.getElementById("message").open, { timeout: 5000 });
}

export function seen(page) {
  return page.evaluate(() => window.seen);
}
