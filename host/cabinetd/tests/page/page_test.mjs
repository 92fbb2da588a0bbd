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

// Starts a program and resolves with the stderr lines matched by the patterns.
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
      if (Object.keys(found).length === Object.keys(patterns).length) resolve(found);
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
  const daemon = await start(process.env.CABINETD,
    ["--cabinet", `lab=tcp:127.0.0.1:${sim.serial}`, "--db", join(work, "j.db"), "--listen", "127.0.0.1:0",
     "--tokens", join(work, "tokens")],
    { port: /listening on .* port (\d+)/ });

  browser = await chromium.launch({ executablePath: chromiumPath, args: ["--no-sandbox"] });
  const page = await browser.newPage({ viewport: { width: 1100, height: 900 } });
  page.on("dialog", (d) => d.accept()); // the confirmation before acting
  // The page works under cabinetd's Content-Security-Policy: nothing of it
  // is refused (no inline script or style, nothing from elsewhere).
  const refused = [];
  page.on("console", (m) => { if (/Content Security Policy/i.test(m.text())) refused.push(m.text()); });
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

  if (refused.length) throw new Error(`refused by the page's policy: ${refused.join("; ")}`);

  const shot = join(process.env.OUT_DIR || ".", "cabinetd-page.png");
  await page.screenshot({ path: shot, fullPage: true });
  console.log(`ok: eight doors, door 3 opened and locked again, cycle_complete logged, new session shown; ${shot}`);
} catch (e) {
  console.error("FAILED:", e.message);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close();
  for (const c of children) c.kill("SIGTERM");
  rmSync(work, { recursive: true, force: true });
}
