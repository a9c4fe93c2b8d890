// The firmware button <vestrel-flash> on a vendor's page, clicked as a customer does, against
// vestrel-sim through the serial bridge: `make test-web`. The example page in web/examples/
// and manifests that the tests write (served under /test/).
import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";

import { Simulator, hexText, imageOf, launchBrowser, openPage, paths, pattern, startSite } from "./harness.mjs";

const FLASH_BASE = 0x1d000000;
const BUTTON = "vestrel-flash >>> [part=button]";
const STATUS = "vestrel-flash >>> #status";

let site;
let chromium;
let files;

before(async () => {
  files = fs.mkdtempSync(path.join(os.tmpdir(), "vestrel-element-"));
  site = await startSite({ "/test/": files });
  chromium = await launchBrowser();
  fs.mkdirSync(paths.screenshots, { recursive: true });
});

after(async () => {
  await chromium?.close();
  await site?.close();
  if (files) fs.rmSync(files, { recursive: true, force: true });
});

// A vendor's page with the button for `manifest` (under /test/), written with its files.
function vendorPage(name, manifest, firmware) {
  for (const [file, text] of Object.entries(firmware)) fs.writeFileSync(path.join(files, file), text);
  fs.writeFileSync(path.join(files, `${name}.json`), JSON.stringify(manifest));
  fs.writeFileSync(path.join(files, `${name}.html`), `<!DOCTYPE html><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; connect-src 'self'">
<script src="/vestrel-flash.js" defer></script>
<vestrel-flash manifest="${name}.json"></vestrel-flash>`);
  return `${site.url}test/${name}.html`;
}

const sha256 = (text) => crypto.createHash("sha256").update(text).digest("hex");
const state = (page) => page.$eval("vestrel-flash", (e) => e.getAttribute("state"));
const ready = () => document.querySelector("vestrel-flash")?.getAttribute("state") === "ready";

// Clicks the button and waits until the element has ended: done, failed, or ready again (the
// click moves it on at once). `during(page)` runs while it works.
async function clickAndWait(page, during) {
  await page.click(BUTTON);
  if (during) await during(page);
  await page.waitForFunction(() => ["done", "failed", "ready"].includes(
    document.querySelector("vestrel-flash").getAttribute("state")), { timeout: 90000 });
  return { state: await state(page), status: await page.$eval(STATUS, (e) => e.textContent) };
}

// The element at work, half way through programming.
async function busyScreenshot(page) {
  await page.waitForFunction(() => document.querySelector("vestrel-flash").shadowRoot
    .getElementById("bar").value >= 50, { timeout: 60000 });
  await page.screenshot({ path: path.join(paths.screenshots, "element-busy.png") });
}

async function withBoard(flashSize, scenario) {
  const sim = new Simulator([], flashSize);
  try {
    site.bridge.device = await sim.device();
    await scenario(sim);
  } finally {
    await sim.stop().then((result) => Object.assign(sim, result));
  }
  return sim;
}

test("The example page loads a board from its manifest, and a second after 'flash another board'", async () => {
  const demo = fs.readFileSync(path.join(paths.site, "examples", "firmware", "demo-firmware.hex"), "utf8");
  const image = imageOf(demo, 0x8000);
  const page = await openPage(chromium.browser, `${site.url}examples/`, { ready, height: 560 });
  try {
    await page.screenshot({ path: path.join(paths.screenshots, "element-ready.png") });
    const first = await withBoard(0x8000, async () => {
      assert.deepEqual(await clickAndWait(page, busyScreenshot),
        { state: "done", status: "Done: Demo firmware 1.0.0 is on the board and running." });
      await page.screenshot({ path: path.join(paths.screenshots, "element-done.png") });
    });
    assert.ok(first.flash.equals(image), "the first board holds the image");
    await page.click("vestrel-flash >>> [part=again]");
    assert.equal(await state(page), "ready");
    const second = await withBoard(0x8000, async () => {
      assert.equal((await clickAndWait(page)).state, "done");
    });
    assert.ok(second.flash.equals(image), "the second board holds the image");
    // The manifest's rate, on a line opened once for each board.
    const opens = await page.evaluate(() => window.fakeSerial.log.filter((e) => e.op === "open"));
    assert.deepEqual(opens.map((e) => e.options.baudRate), [115200, 115200]);
    assert.deepEqual(page.errors, []);
  } finally {
    await page.closeContext();
  }
});

test("A file whose SHA-256 differs from the manifest's is refused before anything is sent", async () => {
  const hex = hexText(FLASH_BASE, pattern(1024));
  const url = vendorPage("mismatch", { name: "Board", version: "2.0", builds: [
    { path: "mismatch.hex", sha256: sha256(hex + "\n"), rate: 115200 }] }, { "mismatch.hex": hex });
  const page = await openPage(chromium.browser, url, { ready });
  try {
    const sim = await withBoard(0x8000, async () => {
      assert.deepEqual(await clickAndWait(page), { state: "failed", status: "The firmware file " +
        "mismatch.hex is not the one this page describes (its SHA-256 checksum differs), so it " +
        "was not sent. Nothing was changed on the board. Please tell the maker of this page." });
      await page.screenshot({ path: path.join(paths.screenshots, "element-refused.png") });
    });
    assert.deepEqual(await page.evaluate(() => window.fakeSerial.log), [], "no port asked for");
    assert.equal(sim.record.bytes_in, 0);
  } finally {
    await page.closeContext();
  }
});

test("Of two builds, the one that fits the board's flash size is loaded, at the manifest's rate", async () => {
  const big = hexText(FLASH_BASE, pattern(0x9000, 2));
  const small = hexText(FLASH_BASE, pattern(0x6000, 3));
  const url = vendorPage("two", { name: "Board", version: "3.1", builds: [
    { path: "big.hex", sha256: sha256(big), rate: 230400, flash_size: { min: 0x10000 } },
    { path: "small.hex", sha256: sha256(small), rate: 230400, flash_size: { max: 0x8000 },
      bootloader: { min: "1.0", max: "1.9" } },
  ] }, { "big.hex": big, "small.hex": small });
  const page = await openPage(chromium.browser, url, { ready });
  try {
    const sim = await withBoard(0x8000, async () => {
      assert.equal((await clickAndWait(page)).state, "done");
    });
    assert.ok(sim.flash.equals(imageOf(small, 0x8000)), "the board holds the small build");
    const opens = await page.evaluate(() => window.fakeSerial.log.filter((e) => e.op === "open"));
    assert.deepEqual(opens.map((e) => e.options.baudRate), [230400]);
  } finally {
    await page.closeContext();
  }
});

test("A board that does not answer, and one pulled during the update, are told in plain words", async () => {
  const hex = hexText(FLASH_BASE, pattern(0x4000, 4));
  const url = vendorPage("plain", { name: "Board", version: "1", builds: [
    { path: "plain.hex", sha256: sha256(hex), rate: 115200 }] }, { "plain.hex": hex });
  const cases = [
    { options: ["--silent"], status: "The board did not answer. Check the cable, put the board " +
      "into its update mode (see its manual), then try again." },
    { options: ["--unplug-after-bytes", "9000"], status: "The connection to the board was lost " +
      "(was the cable pulled?). The update did not finish: connect the board again and click " +
      "the button." },
  ];
  for (const { options, status } of cases) {
    const page = await openPage(chromium.browser, url, { ready });
    try {
      const sim = new Simulator(options, 0x8000);
      site.bridge.device = await sim.device();
      try {
        assert.deepEqual(await clickAndWait(page), { state: "failed", status }, options.join(" "));
      } finally {
        await sim.stop();
      }
    } finally {
      await page.closeContext();
    }
  }
});
