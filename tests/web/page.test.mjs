// The web page in Debian's chromium (headless), against vestrel-sim through the serial bridge:
// `make test-web`. The page's own navigator.serial is replaced by the stand-in before its
// scripts run, so the browser's real port chooser is never asked.
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";

import {
  Simulator, chooseFile, choosePort, closeBox, dropFile, elfBytes, hexText, launchBrowser,
  openPage, pattern, paths, seen, settled, startSite,
} from "./harness.mjs";

const FLASH_SIZE = 0x8000;  // 64 blocks
const FLASH_BASE = 0x1d000000;
const APP_SIZE = 20 * 1024;

let site;
let chromium;
let files;
const requested = [];  // every address any page asked for

before(async () => {
  site = await startSite();
  chromium = await launchBrowser();
  files = fs.mkdtempSync(path.join(os.tmpdir(), "vestrel-web-files-"));
});

after(async () => {
  await chromium?.close();
  await site?.close();
  if (files) fs.rmSync(files, { recursive: true, force: true });
});

function writeFile(name, text) {
  const file = path.join(files, name);
  fs.writeFileSync(file, text);
  return file;
}

const app = pattern(APP_SIZE);
const image = Buffer.concat([Buffer.from(app), Buffer.alloc(FLASH_SIZE - APP_SIZE, 0xff)]);

// Runs `scenario(page)` against a fresh simulator started with `options`; returns what the
// simulator saw.
async function withSimulator(options, scenario, pageOptions) {
  const sim = new Simulator(options, FLASH_SIZE);
  let page;
  let result;
  try {
    site.bridge.device = await sim.device();
    page = await openPage(chromium.browser, site.url, pageOptions);
    await scenario(page);
    // Errors the policy reports are the last test's point; any other is a fault of the page.
    assert.deepEqual(page.errors.filter((e) => !e.includes("Content Security Policy")), []);
  } finally {
    if (page) {
      requested.push(...page.requests);
      await page.closeContext();
    }
    result = await sim.stop();
  }
  return result;
}

// The percent texts of one pass over `blocks` blocks: 1, 3, 4, ... "%" up to "100%".
function percents(blocks) {
  return Array.from({ length: blocks }, (_, i) => `${Math.floor(((i + 1) * 100) / blocks)}%`);
}

test("Load through the file input: the flash holds the image; texts and progress in order", async (t) => {
  const hex = writeFile("app.hex", hexText(FLASH_BASE, app));
  let shown;
  const { flash, events } = await withSimulator([], async (page) => {
    await chooseFile(page, hex);
    assert.equal(await page.$eval("#file", (e) => e.textContent), "app.hex");
    await choosePort(page);
    await page.click("#load");
    await settled(page);
    shown = await seen(page);
    // After the load: the lists stay disabled, every step button is enabled by rule.
    const state = await page.evaluate(() => ({
      buttons: ["open", "connect", "erase", "program", "verify", "run", "load"]
        .map((id) => document.getElementById(id).disabled),
      lists: ["port", "baud"].map((id) => document.getElementById(id).disabled),
    }));
    assert.deepEqual(state, { buttons: Array(7).fill(false), lists: [true, true] });
    fs.mkdirSync(paths.screenshots, { recursive: true });
    await page.screenshot({ path: path.join(paths.screenshots, "web-page.png") });
  }, { height: 520 });
  assert.ok(flash.equals(image), "the simulated flash holds the image");
  assert.deepEqual(shown.boxes, []);
  assert.deepEqual(shown.info.slice(-3), ["Programm: Verify OK", "Programm: Success", "Running Program"]);
  // Every request answered at the first try: version, erase, each block written, read back
  // and verified, finish, start. A machine too busy to let the page read a reply within the
  // 100 ms first-byte time makes the loader retry, which shows in the texts as it would in the
  // window; then only the outcome above is compared.
  const blocks = FLASH_SIZE / 512;
  const requests = events.filter((e) => e.event === "request").length;
  if (requests !== 4 + 3 * blocks) {
    t.diagnostic(`${requests} requests: the loader retried; texts in order not compared`);
    return;
  }
  assert.deepEqual(shown.info, ["Port 1 is open", "Baud Sync...", "Connected...", "Erasing...",
    "Erasing: Great Success", "Programming...", "Programm: Verifying", "Verifying...",
    "Verify: Success", "Programm: Verify OK", "Programm: Success", "Running Program"]);
  assert.deepEqual(shown.percent, [...percents(blocks), ...percents(blocks)]);
  assert.deepEqual(shown.version, ["BL Version: N/A", "BL Version: v01.00"]);
});

test("A dropped file, a free rate and the step buttons used with the keyboard load the same image", async () => {
  const hex = writeFile("dropped.hex", hexText(FLASH_BASE, app));
  const { flash } = await withSimulator([], async (page) => {
    await dropFile(page, hex);
    assert.equal(await page.$eval("#file", (e) => e.textContent), "dropped.hex");
    await choosePort(page, "free");
    await page.type("#free-rate", "230400");
    for (const step of ["connect", "erase", "program", "run"]) {
      await page.focus(`#${step}`);
      await page.keyboard.press("Enter");
      await settled(page);
    }
    const shown = await seen(page);
    assert.deepEqual(shown.info.slice(-2), ["Programm: Success", "Running Program"]);
    assert.deepEqual(shown.boxes, []);
    // The line as the loader sets it: 8N1 at the free rate, no flow control, DTR and RTS off.
    const asked = await page.evaluate(() => window.fakeSerial.log.filter((e) => e.op !== "requestPort"));
    assert.deepEqual(asked, [
      { op: "open", options: { baudRate: 230400, dataBits: 8, stopBits: 1, parity: "none",
                               flowControl: "none", bufferSize: 4096 } },
      { op: "signals", signals: { dataTerminalReady: false } },
      { op: "signals", signals: { requestToSend: false } }]);
  });
  assert.ok(flash.equals(image));
});

test("An ELF file loads after a reset sequence that the board needs to enter its bootloader", async () => {
  const elf = writeFile("app.elf", elfBytes(FLASH_BASE, app));
  // The simulated board runs its application until DTR pulses its reset; the bridge reports
  // the page's lines to it.
  site.bridge.modemSocket = path.join(files, "modem.sock");
  site.bridge.signals = [];
  try {
    const { flash } = await withSimulator(["--reset-line", "dtr", "--modem-socket",
      site.bridge.modemSocket], async (page) => {
      await chooseFile(page, elf);
      assert.equal(await page.$eval("#file", (e) => e.textContent), "app.elf");
      await choosePort(page);
      await page.select("#reset", "written");
      await page.type("#reset-steps", "dtr=1,wait=50,dtr=0,wait=50");
      await page.click("#load");
      await settled(page);
      const shown = await seen(page);
      assert.deepEqual(shown.boxes, []);
      assert.deepEqual(shown.info.slice(0, 3),
        ["Port 1 is open", "Reset (dtr=1,wait=50,dtr=0,wait=50)...", "Baud Sync..."]);
      assert.equal(shown.info.at(-1), "Running Program");
    });
    assert.ok(flash.equals(image));
    assert.deepEqual(site.bridge.signals, [{ dataTerminalReady: false }, { requestToSend: false },
      { dataTerminalReady: true }, { dataTerminalReady: false }]);
  } finally {
    site.bridge.modemSocket = null;
  }
});

test("A line pulled mid-load ends with the window's error texts and no hang", async () => {
  const hex = writeFile("app.hex", hexText(FLASH_BASE, app));
  // About a third of the way through programming.
  const { events } = await withSimulator(["--unplug-after-bytes", "12000"], async (page) => {
    await chooseFile(page, hex);
    await choosePort(page);
    await page.click("#load");
    await settled(page);
    const [box] = (await seen(page)).boxes;
    assert.equal(box.caption, "Error");
    const [head, reason] = box.text.split("\n");
    assert.match(head, /^(Send|Receive) Program Error Addr: 0x9D00[0-9A-F]{4}/);
    assert.equal(reason, "The serial device USB 1209:0001 went away (adapter unplugged?).");
    await closeBox(page, "Enter");
    await settled(page);
    const shown = await seen(page);
    assert.equal(shown.info.at(-1), "Programm: Failed");
    assert.equal(shown.boxes.length, 1);
    assert.equal(await page.$eval("body", (b) => b.classList.contains("busy")), false);
    // As in the window, a failed Program leaves every step button disabled.
    const disabled = await page.$$eval(".key", (keys) => keys.map((k) => k.disabled));
    assert.deepEqual(disabled, Array(6).fill(true));
  });
  assert.ok(events.some((e) => e.event === "unplug"));
});

test("A silent line ends the connect with the sync error, and nothing is erased", async () => {
  const hex = writeFile("app.hex", hexText(FLASH_BASE, app));
  const { record } = await withSimulator(["--silent"], async (page) => {
    await chooseFile(page, hex);
    await choosePort(page);
    await page.click("#load");
    await settled(page);
    const shown = await seen(page);
    assert.deepEqual(shown.info, ["Port 1 is open", "Baud Sync...", "ERROR:  COMM Sync"]);
    assert.deepEqual(shown.boxes, []);
    assert.equal(await page.$eval("#connect", (e) => e.disabled), false);
  });
  assert.equal(record.bytes_in, 20, "twenty sync probes, no request");
});

test("A bad HEX file is refused and the Load then sends nothing", async () => {
  const good = hexText(FLASH_BASE, app.subarray(0, 64)).split("\n");
  good[2] = good[2].slice(0, -2) + "00";  // a wrong checksum on the second data line
  const bad = writeFile("bad.hex", good.join("\n"));
  const { record } = await withSimulator([], async (page) => {
    await chooseFile(page, bad);
    const [box] = (await seen(page)).boxes;
    assert.equal(box.caption, "Error");
    assert.match(box.text, /^HEX File Error\n.*line 3/s);
    await closeBox(page);
    await settled(page);
    assert.equal(await page.$eval("#file", (e) => e.textContent), "");
    await choosePort(page);
    await page.click("#load");
    await settled(page);
    assert.equal((await seen(page)).info.at(-1), "HEX File Error: nothing sent to the target");
    assert.deepEqual(await page.evaluate(() => window.fakeSerial.log.map((e) => e.op)),
      ["requestPort"]);
  });
  assert.equal(record.bytes_in, 0);
});

test("A port whose reads fail at once, over and over, counts as lost; the page stays responsive", async () => {
  const hex = writeFile("app.hex", hexText(FLASH_BASE, app));
  await withSimulator([], async (page) => {
    await chooseFile(page, hex);
    await choosePort(page);
    await page.evaluate(() => { window.fakeSerial.failingReads = "FramingError"; });
    await page.click("#load");
    // A page that spins on failed reads never answers; this one answers at once.
    const answered = await Promise.race([page.evaluate(() => true),
      new Promise((resolve) => setTimeout(() => resolve(false), 5000))]);
    assert.equal(answered, true, "the page answers while the reads fail");
    await settled(page, 20000);
    // The port is given up while it is set up or at the sync, as the reads happen to fail.
    const [box] = (await seen(page)).boxes;
    assert.equal(box.text.split("\n").at(-1), "Reading from the serial device USB 1209:0001 " +
      "kept failing: 20 reads in a row failed (FramingError: A FramingError was detected.); the " +
      "port is given up.");
    await closeBox(page);
    assert.match((await seen(page)).info.at(-1), /^ERROR: /);
  });
});

test("Without Web Serial the page says so and offers no load", async () => {
  await withSimulator([], async (page) => {
    assert.equal(await page.$eval("#no-serial", (e) => e.hidden), false);
    const disabled = (id) => page.$eval(id, (e) => e.disabled);
    assert.deepEqual([await disabled("#load"), await disabled("#choose-port")], [true, true]);
  }, { serial: false });
});

test("Every control is named and reached with Tab; the page fits a phone's width", async () => {
  await withSimulator([], async (page) => {
    const names = [];
    for (let i = 0; i < 6; ++i) {
      await page.keyboard.press("Tab");
      names.push(await page.evaluate(() => {
        const e = document.activeElement;
        return e.labels?.[0]?.textContent || e.textContent.trim();
      }));
    }
    // The steps that need a connection are disabled and skipped.
    assert.deepEqual(names, ["open file", "connect device", "Load", "Port", "Choose port", "Baud"]);
    await page.setViewport({ width: 320, height: 640 });
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - innerWidth);
    assert.equal(overflow, 0, "no horizontal scrolling at 320 px");
    await page.screenshot({ path: path.join(paths.screenshots, "web-page-narrow.png"), fullPage: true });
  });
});

test("The page asks only its own site, and its policy forbids any other", async () => {
  await withSimulator([], async (page) => {
    const blocked = await page.evaluate(() => fetch("http://127.0.0.2:9/").then(() => false, () => true));
    assert.ok(blocked);
  });
  const origin = new URL(site.url).origin;
  const foreign = requested.filter((url) => new URL(url).origin !== origin);
  assert.deepEqual(foreign, []);
  assert.ok(requested.some((url) => url.endsWith("vestrel-core.wasm")));
});
