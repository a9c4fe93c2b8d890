// One Load in the page, timed, for `make bench` (scripts/bench): the HEX file through the file
// input, the port through the stand-in and the bridge to DEVICE, where the caller's paced
// simulator serves. Prints {"seconds", "info", "boxes", "turnarounds", "pageMs", "bridgeMs"}
// as JSON: seconds from the click on Load until the page is idle again; summed over the
// `turnarounds` writes that follow a reply, the page's own time from the end of the reply to
// the write, and the bridge's time carrying the reply's last bytes and the write. Exit code 1 when the load did not end with the application started, or took longer than the
// limit.
import { parseArgs } from "node:util";

import { chooseFile, choosePort, launchBrowser, openPage, seen, settled, startSite } from "./harness.mjs";

const { values } = parseArgs({
  options: {
    device: { type: "string" },
    hex: { type: "string" },
    baud: { type: "string", default: "115200" },
    limit: { type: "string", default: "400" },
  },
});
if (!values.device || !values.hex) {
  process.stderr.write("usage: bench_load.mjs --device PATH --hex FILE [--baud N] [--limit SECONDS]\n");
  process.exit(2);
}

const site = await startSite();
const chromium = await launchBrowser();
let result;
try {
  site.bridge.device = values.device;
  const page = await openPage(chromium.browser, site.url);
  await chooseFile(page, values.hex);
  await choosePort(page, values.baud);
  const start = process.hrtime.bigint();
  await page.click("#load");
  await settled(page, Number(values.limit) * 1000);
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  const shown = await seen(page);
  const timing = await page.evaluate(() => window.fakeSerial.timing);
  result = { seconds, info: shown.info.at(-1), boxes: shown.boxes, turnarounds: timing.turnarounds,
             pageMs: timing.turnaroundMs, bridgeMs: timing.bridgeInMs + site.bridge.writeDelayMs };
} finally {
  await chromium.close();
  await site.close();
}
process.stdout.write(JSON.stringify(result) + "\n");
process.exit(result.info === "Running Program" && result.boxes.length === 0 ? 0 : 1);
