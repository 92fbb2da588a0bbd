// The operator page in a real browser: headless Debian chromium driven by
// playwright-core, against cabinetd and one cabinet-sim on loopback.
// Environment: CABINETD, CABINET_SIM, CHROMIUM (default /usr/bin/chromium),
// OUT_DIR (where the screenshot goes). Exit 77 skips when there is no browser.
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, writeFileSync, rmSync } from "node:fs";
import { createConnection } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";

const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
if (!existsSync(chromiumPath)) {
  console.log(`no browser at ${chromiumPath}: skipped`);
  process.exit(77);
}
const { chromium } = await import("playwright-core");
const TOKEN = "page-operator-0123456789";
const work = mkdtempSync(join(tmpdir(), "cabinetd-page-"));
const children = [];

// Starts a program and resolves with the numbers its stderr lines matched
// by the patterns, and the child itself.
function start(cmd, args, patterns) {
  return new Promise((resolve, reject) => {
    const child = spawn(cmd, args, { stdio: ["ignore", "ignore", "pipe"] });
    children.push(child);
    const found = {};
    const lines = createInterface({ input: child.stderr });
    lines.on("line", (line) => {
      for (const [key, re] of Object.entries(patterns)) {
        const m = line.match(re);
        if (m) found[key] = Number(m[1]);
      }
      if (Object.keys(found).length === Object.keys(patterns).length) resolve({ ...found, child });
    });
    child.on("exit", (code) => reject(new Error(`${cmd} exited with ${code}`)));
  });
}

function control(port, command) {
  return new Promise((resolve, reject) => {
    const s = createConnection({ host: "127.0.0.1", port }, () => s.write(command + "\n"));
    s.on("data", (d) => { resolve(String(d).trim()); s.end(); });
    s.on("error", reject);
  });
}

let browser;
try {
  const sim = await start(process.env.CABINET_SIM, ["--tcp", "0", "--control-tcp", "0"],
                          { serial: /serial on tcp [\d.]+:(\d+)/, control: /control on tcp [\d.]+:(\d+)/ });
  writeFileSync(join(work, "tokens"), `page operator ${TOKEN}\n`);
  // No --web-root: cabinetd run from its build tree finds the page itself.
  const daemonArgs = (port) =>
    ["--cabinet", `lab=tcp:127.0.0.1:${sim.serial}`, "--db", join(work, "j.db"), "--listen", `127.0.0.1:${port}`,
     "--tokens", join(work, "tokens")];
  let daemon = await start(process.env.CABINETD, daemonArgs(0), { port: /listening on .* port (\d+)/ });

  browser = await chromium.launch({ executablePath: chromiumPath, args: ["--no-sandbox"] });
  const page = await browser.newPage({ viewport: { width: 1100, height: 900 } });
  page.on("dialog", (d) => d.accept()); // the confirmation before acting
  // The page works under cabinetd's Content-Security-Policy: nothing of it
  // is refused (no inline script or style, nothing from elsewhere).
  // Any error of the page's own, or in its console, fails the test; while
  // cabinetd is deliberately down, the browser's own reports of refused
  // connections are expected.
  const refused = [], errors = [];
  let outage = false;
  page.on("pageerror", (e) => errors.push(`page error: ${e.message}`));
  page.on("console", (m) => {
    if (/Content Security Policy/i.test(m.text())) refused.push(m.text());
    else if (m.type() === "error" && !(outage && /net::ERR_CONNECTION_REFUSED/.test(m.text())))
      errors.push(`console error: ${m.text()}`);
  });
  await page.goto(`http://127.0.0.1:${daemon.port}/#token=${TOKEN}`);

  const cabinet = page.locator('.cabinet[data-name="lab"]');
  await cabinet.locator(".door").nth(7).waitFor();
  const doors = await cabinet.locator(".door").count();
  if (doors !== 8) throw new Error(`${doors} doors drawn`);

  const door3 = cabinet.locator('.door[data-door="3"]');
  await door3.locator("button:enabled").waitFor({ timeout: 15000 });
  await door3.locator("button").click();
  await cabinet.locator('.door[data-door="3"].open').waitFor({ timeout: 10000 });
  await cabinet.locator('.door[data-door="3"].closed.locked').waitFor({ timeout: 15000 });
  await page.locator("#log li", { hasText: "cycle_complete" }).first().waitFor({ timeout: 10000 });

  const before = await cabinet.getAttribute("data-session");
  const answer = await control(sim.control, "power-cycle 300");
  if (!answer.startsWith("ok")) throw new Error(`power-cycle: ${answer}`);
  // Polled from here: a function evaluated in the page is what the policy forbids.
  for (const until = Date.now() + 15000; ;) {
    const now = await cabinet.getAttribute("data-session");
    if (now && now !== before && (await cabinet.locator(".link.up").count())) break;
    if (Date.now() > until) throw new Error("the new session is not shown");
    await page.waitForTimeout(100);
  }
  await page.locator("#log li.session", { hasText: "restarted" }).first().waitFor({ timeout: 5000 });

  // cabinetd restarts under the page: the stream comes back by itself and
  // resumes after the last record it showed, so nothing is shown twice.
  const stream = page.locator("#stream-status");
  outage = true;
  const gone = new Promise((resolve) => daemon.child.once("exit", resolve));
  daemon.child.kill("SIGTERM");
  await gone;
  await page.locator("#stream-status.down").waitFor({ timeout: 10000 });
  daemon = await start(process.env.CABINETD, daemonArgs(daemon.port), { port: /listening on .* port (\d+)/ });
  await page.locator("#stream-status.up").waitFor({ timeout: 15000 });
  outage = false;
  await door3.locator("button:enabled").waitFor({ timeout: 15000 });
  await door3.locator("button").click();
  for (const until = Date.now() + 15000; ;) {
    const n = await page.locator("#log li", { hasText: "cycle_complete" }).count();
    if (n === 2) break;
    if (n > 2) throw new Error(`${n} cycle_complete entries for two cycles: records shown twice after the restart`);
    if (Date.now() > until) throw new Error("the cycle after the restart is not shown");
    await page.waitForTimeout(100);
  }
  if (!(await stream.textContent()).includes("live")) throw new Error("the stream is not live after the restart");

  if (refused.length) throw new Error(`refused by the page's policy: ${refused.join("; ")}`);
  if (errors.length) throw new Error(errors.join("; "));

  const shot = join(process.env.OUT_DIR || ".", "cabinetd-page.png");
  await page.screenshot({ path: shot, fullPage: true });
  console.log(`ok: eight doors, door 3 opened and locked again, cycle_complete logged, new session shown, cabinetd restarted under the page without an error or a record shown twice; ${shot}`);
} catch (e) {
  console.error("FAILED:", e.message);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close();
  for (const c of children) c.kill("SIGTERM");
  rmSync(work, { recursive: true, force: true });
}
