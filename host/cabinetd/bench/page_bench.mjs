// The operator page's cost on a site of 64 cabinets (cabinet-fleet's
// stand-ins) where a door moves every second somewhere: every second an
// open of a door of some cabinet, carried through its cycle (the latch lets
// go, the door opens and closes, the latch locks), and every 30 s a door
// forced open, closed again and its alarm acknowledged. One page signed in,
// in headless Chromium, for PAGE_BENCH_S seconds (600 by default); printed:
// the renderer process's CPU and resident memory, the page's main-thread
// time, its JavaScript heap and DOM nodes, at the start and at the end.
// A benchmark, not a test: it fails only when the page errs or stops
// showing the site. Environment: CABINETD, CABINET_FLEET, CHROMIUM,
// PAGE_BENCH_S, PAGE_BENCH_CABINETS.
import { readFileSync } from "node:fs";
import { Browser, Site, control, haveBrowser, sleep, until } from "../tests/page/rig.mjs";

if (!haveBrowser || !process.env.CABINET_FLEET) {
  console.log("no browser or no cabinet-fleet: skipped");
  process.exit(77);
}
const seconds = Number(process.env.PAGE_BENCH_S || 600);
const count = Number(process.env.PAGE_BENCH_CABINETS || 64);
const TOKEN = "page-bench-operator-0123456789";
const nameOf = (i) => `cab-${String(i + 1).padStart(2, "0")}`;

const site = new Site();
let browser;
try {
  const fleet = await site.fleet(count);
  await site.daemon({ tokens: [`bench operator ${TOKEN}`],
                      cabinets: Object.fromEntries(fleet.ports.map((p, i) => [nameOf(i), `tcp:127.0.0.1:${p}`])) });
  browser = await Browser.launch();
  const page = await browser.page(site.url(TOKEN));
  await until("every cabinet shown", async () =>
    (await page.locator("#overview tbody tr:not(.unknown)").count()) === count, 60000);
  await page.locator('#overview tbody tr .pick').first().click(); // a card open, as at a desk
  const cdp = await page.context().newCDPSession(page);
  await cdp.send("Performance.enable");
  const host = await browser.browser.newBrowserCDPSession();

  // The page's figures, and its renderer's (CPU seconds, resident KB).
  const sample = async () => {
    const m = Object.fromEntries((await cdp.send("Performance.getMetrics")).metrics.map((x) => [x.name, x.value]));
    const { processInfo } = await host.send("SystemInfo.getProcessInfo");
    const renderers = processInfo.filter((p) => p.type === "renderer");
    let rssKb = 0;
    for (const p of renderers) {
      const status = readFileSync(`/proc/${p.id}/status`, "utf8");
      rssKb = Math.max(rssKb, Number(status.match(/VmRSS:\s+(\d+)/)[1]));
    }
    const cpu = Math.max(...renderers.map((p) => p.cpuTime));
    return { at: Date.now(), cpu, rssKb, task: m.TaskDuration, script: m.ScriptDuration, layout: m.LayoutDuration,
             style: m.RecalcStyleDuration, heap: m.JSHeapUsedSize,
             nodes: m.Nodes, listeners: m.JSEventListeners };
  };
  // The site moving: an open a second, a forced door every 30 s.
  let opens = 0, accepted = 0, forced = 0;
  const moving = (async () => {
    for (let t = 0; t < seconds; t++) {
      const tick = sleep(1000);
      const i = Math.floor(Math.random() * count), door = 1 + Math.floor(Math.random() * 8);
      opens++;
      site.api(TOKEN, `/api/cabinets/${nameOf(i)}/doors/${door}/open`, { method: "POST" })
        .then((r) => { if (r.status === 202) accepted++; }, () => {});
      if (t % 30 === 15) {
        const j = (i + 1) % count;
        forced++;
        await control(fleet.control, `${j} door 1 open`);
        setTimeout(async () => {
          await control(fleet.control, `${j} door 1 close`).catch(() => {});
          await site.api(TOKEN, `/api/cabinets/${nameOf(j)}/alarms/ack`, { method: "POST" }).catch(() => {});
        }, 5000);
      }
      await tick;
    }
  })();
  await sleep(Math.min(30, seconds / 4) * 1000); // settled into its pace
  const first = await sample();
  await moving;
  await sleep(6000); // the last forced door closed and acknowledged
  const last = await sample();
  const wall = (last.at - first.at) / 1000;
  const mb = (b) => (b / 1048576).toFixed(1);
  const pct = (k) => `${((100 * (last[k] - first[k])) / wall).toFixed(2)} %`;
  console.log(`page benchmark: ${count} cabinets, ${seconds} s, ${opens} opens (${accepted} accepted), ` +
              `${forced} doors forced; figures over the last ${wall.toFixed(0)} s`);
  console.log(`  renderer CPU: ${((100 * (last.cpu - first.cpu)) / wall).toFixed(2)} % of a core; ` +
              `main thread busy ${((100 * (last.task - first.task)) / wall).toFixed(2)} % ` +
              `(script ${pct("script")}, style ${pct("style")}, layout ${pct("layout")})`);
  console.log(`  renderer RSS: ${(first.rssKb / 1024).toFixed(1)} MB -> ${(last.rssKb / 1024).toFixed(1)} MB; ` +
              `JS heap ${mb(first.heap)} MB -> ${mb(last.heap)} MB; DOM nodes ${first.nodes} -> ${last.nodes}; ` +
              `listeners ${first.listeners} -> ${last.listeners}`);
  const rows = await page.locator("#overview tbody tr:not(.unknown)").count();
  if (rows !== count) throw new Error(`${rows} of ${count} cabinets shown at the end`);
  if (browser.errors.length) throw new Error(browser.errors.join("; "));
} catch (e) {
  console.error("FAILED:", e.message);
  process.exitCode = 1;
} finally {
  await browser?.close();
  site.close();
}
