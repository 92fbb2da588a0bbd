// What the page's tests share: cabinetd, simulators and cabinet-fleet on
// loopback, headless Debian chromium driven by playwright-core, the
// watchers that fail a test on any page or console error, axe-core at a
// desk's and a phone's size, and screenshots (kept in OUT_DIR's
// page-screenshots/). Environment: CABINETD, CABINET_SIM, CABINET_FLEET,
// CHROMIUM (default /usr/bin/chromium), OUT_DIR.
import { spawn } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { createConnection } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";

export const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
export const haveBrowser = existsSync(chromiumPath);
export const shots = join(process.env.OUT_DIR || ".", "page-screenshots");
const axeSource = readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");

export const DESK = { width: 1280, height: 800 };
export const PHONE = { width: 390, height: 844 };

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Waits until check() holds, looking every 100 ms; fails naming what.
export async function until(what, check, ms = 15000) {
  for (const end = Date.now() + ms; !(await check()); await sleep(100))
    if (Date.now() > end) throw new Error("timed out: " + what);
}

// Starts a program; resolves once its output matched every pattern, with
// the numbers they caught and the child.
export function start(cmd, args, patterns, { stdout = false, children = [] } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(cmd, args, { stdio: ["ignore", stdout ? "pipe" : "ignore", "pipe"] });
    children.push(child);
    const found = {};
    const log = [];
    const watch = (stream) => createInterface({ input: stream }).on("line", (line) => {
      log.push(line);
      for (const [key, re] of Object.entries(patterns)) {
        const m = line.match(re);
        if (m && !(key in found)) found[key] = Number(m[1]);
      }
      if (Object.keys(found).length === Object.keys(patterns).length) resolve({ ...found, child, log });
    });
    watch(child.stderr);
    if (stdout) watch(child.stdout);
    child.on("exit", (code) => reject(new Error(`${cmd} exited with ${code}: ${log.slice(-5).join(" / ")}`)));
  });
}

// One line to a control port (cabinet-sim's, cabinet-fleet's), its answer.
export function control(port, command) {
  return new Promise((resolve, reject) => {
    const s = createConnection({ host: "127.0.0.1", port }, () => s.write(command + "\n"));
    s.on("data", (d) => {
      s.end();
      const answer = String(d).trim();
      if (answer.startsWith("ok")) resolve(answer);
      else reject(new Error(`${command}: ${answer}`));
    });
    s.on("error", reject);
  });
}

// A site for one file of tests: a folder, cabinetd and what it serves.
export class Site {
  constructor() {
    this.work = mkdtempSync(join(tmpdir(), "cabinetd-page-"));
    this.children = [];
  }

  async sim() {
    return start(process.env.CABINET_SIM, ["--tcp", "0", "--control-tcp", "0"],
                 { serial: /serial on tcp [\d.]+:(\d+)/, control: /control on tcp [\d.]+:(\d+)/ },
                 { children: this.children });
  }

  // cabinet-fleet: count controllers, and its control port.
  async fleet(count) {
    const f = await start(process.env.CABINET_FLEET, ["--count", String(count), "--control-port", "0"],
                          { control: /^control (\d+)/, ready: /^(r)eady/ }, { stdout: true, children: this.children });
    f.ports = f.log.filter((l) => /^\d+ [0-9A-F]{16}$/.test(l)).map((l) => Number(l.split(" ")[0]));
    return f;
  }

  // tokens: lines of the tokens file; cabinets: { name: endpoint or config };
  // more: further arguments.
  async daemon({ tokens, cabinets, more = [] }) {
    writeFileSync(join(this.work, "tokens"), tokens.join("\n") + "\n", { mode: 0o600 });
    writeFileSync(join(this.work, "cabinetd.json"), JSON.stringify({ cabinets }));
    this.args = ["--db", join(this.work, "j.db"), "--tokens", join(this.work, "tokens"),
                 "--config", join(this.work, "cabinetd.json"), "--time-zone", "UTC", ...more];
    return this.restart(0);
  }

  // cabinetd again on the same journal (and port): no --web-root, so run
  // from its build tree it finds the page itself.
  async restart(port = this.port) {
    this.cabinetd = await start(process.env.CABINETD, [...this.args, "--listen", `127.0.0.1:${port}`],
                                { port: /listening on .* port (\d+)/ }, { children: this.children });
    this.port = this.cabinetd.port;
    return this;
  }

  async stopDaemon(signal = "SIGTERM") {
    const gone = new Promise((resolve) => this.cabinetd.child.once("exit", resolve));
    this.cabinetd.child.kill(signal);
    await gone;
  }

  url(token) { return `http://127.0.0.1:${this.port}/#token=${encodeURIComponent(token)}`; }

  // The API as a test's own client, with a token.
  async api(token, path, options = {}) {
    const r = await fetch(`http://127.0.0.1:${this.port}${path}`,
                          { ...options, headers: { Authorization: "Bearer " + token, ...(options.headers || {}) } });
    return { status: r.status, body: await r.json().catch(() => ({})) };
  }

  // Until every cabinet the token reads would admit an open.
  async ready(token) {
    await until("every cabinet ready for an open", async () => {
      const r = await this.api(token, "/api/cabinets");
      return r.status === 200 && r.body.cabinets.every((c) => c.admits_open);
    }, 30000);
  }

  close() {
    for (const c of this.children.filter((c) => c.exitCode == null)) {
      c.kill("SIGCONT"); // one stopped on purpose takes its SIGTERM then
      c.kill("SIGTERM");
    }
    rmSync(this.work, { recursive: true, force: true });
  }
}

// The browser of a file of tests, and the pages of the test running: any
// page error or console error in them fails that test. While a test stops
// cabinetd on purpose, the browser's own reports of the connections it
// refuses (or that it holds without answering) are expected.
export class Browser {
  constructor(browser) {
    this.browser = browser;
    this.errors = [];
    this.refused = [];
    this.pages = [];
    this.outage = false;
  }

  static async launch() {
    const { chromium } = await import("playwright-core");
    mkdirSync(shots, { recursive: true });
    return new Browser(await chromium.launch({ executablePath: chromiumPath, args: ["--no-sandbox"] }));
  }

  async page(url, { size = DESK, clock = false, mobile = false } = {}) {
    const context = await this.browser.newContext({ viewport: size, timezoneId: "UTC", acceptDownloads: true,
                                                    isMobile: mobile, hasTouch: mobile });
    const page = await context.newPage();
    page.on("pageerror", (e) => this.errors.push(`page error: ${e.message}`));
    page.on("console", (m) => {
      if (/Content Security Policy/i.test(m.text())) this.refused.push(m.text());
      else if (m.type() === "error" && !(this.outage && /net::ERR_|Failed to load resource/.test(m.text())))
        this.errors.push(`console error: ${m.text()}`);
    });
    if (clock) await page.clock.install();
    this.pages.push(page);
    if (url) await page.goto(url);
    return page;
  }

  // A test: its pages are closed after it, and it fails on any error seen.
  test(fn) {
    return async () => {
      this.errors = [];
      this.refused = [];
      this.outage = false;
      try {
        await fn();
      } finally {
        for (const p of this.pages) await p.context().close().catch(() => {});
        this.pages = [];
      }
      if (this.refused.length) throw new Error(`refused by the page's policy: ${this.refused.join("; ")}`);
      if (this.errors.length) throw new Error(this.errors.join("; "));
    };
  }

  close() { return this.browser.close(); }
}

// axe-core in the page (evaluated through the browser's debugging
// protocol, which the page's policy does not govern) at a desk's size and a
// phone's, a screenshot of each: serious and critical violations fail.
export async function accessible(page, where) {
  const before = page.viewportSize();
  for (const [size, name] of [[DESK, "desk"], [PHONE, "phone"]]) {
    await page.setViewportSize(size);
    await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => r())));
    await page.evaluate(axeSource);
    const violations = await page.evaluate(async () =>
      (await globalThis.axe.run(document, { resultTypes: ["violations"] })).violations.map(
        (v) => ({ id: v.id, impact: v.impact, help: v.help, nodes: v.nodes.map((n) => n.target.join(" ")) })));
    const bad = violations.filter((v) => v.impact === "serious" || v.impact === "critical");
    if (bad.length)
      throw new Error(`axe-core, ${where} (${name}): ` +
                      bad.map((v) => `${v.id} (${v.impact}): ${v.help} at ${v.nodes.join(", ")}`).join("; "));
    await page.screenshot({ path: join(shots, `${where.replaceAll(" ", "-")}-${name}.png`) });
  }
  await page.setViewportSize(before);
}

// Until the page is signed in and hears the stream.
export const live = (page) => page.locator("#stream-status", { hasText: "live" }).waitFor({ timeout: 15000 });

// Text of the log's lines.
export const logLines = (page) => page.locator("#log li").allTextContents();
