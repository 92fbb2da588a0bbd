// Honest when blind: with cabinetd stopped, the page says within 3 s (on its
// own clock) that what every cabinet shows is unknown, and since when,
// disables Open and Approve, says so in the header, and comes back by
// itself; a cabinetd restarted under it is resumed without a record shown
// twice; a journal edited behind cabinetd's back is said once it finds it.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { join } from "node:path";
import { after, before, describe, it } from "node:test";
import { Browser, Site, accessible, haveBrowser, until } from "./rig.mjs";

if (!haveBrowser) {
  console.log("no browser: skipped");
  process.exit(77);
}

const OPERATOR = "page-operator-0123456789";
const SECOND = "page-second-operator-0123456789";

describe("a page that cannot hear cabinetd", () => {
  let site, browser;
  const test = (name, fn) => it(name, () => browser.test(fn)());
  before(async () => {
    site = new Site();
    const sims = [await site.sim(), await site.sim()];
    await site.daemon({
      tokens: [`page operator ${OPERATOR}`, `second operator ${SECOND}`],
      cabinets: { lab: { endpoint: `tcp:127.0.0.1:${sims[0].serial}`, two_person_doors: [8] },
                  store: `tcp:127.0.0.1:${sims[1].serial}` },
    });
    browser = await Browser.launch();
    await site.ready(OPERATOR);
  });
  after(async () => {
    await browser?.close();
    site?.close();
  });

  const rowsKnown = (page) => page.locator("#overview tbody tr:not(.unknown)").count();

  test("says within 3 s that every cabinet is unknown, disables Open and Approve, and recovers by itself", async () => {
    // An open of lab's door 8 awaits this page's approval.
    const asked = await site.api(SECOND, "/api/cabinets/lab/doors/8/open", { method: "POST" });
    assert.equal(asked.body.status, "awaiting_approval");
    const page = await browser.page(site.url(OPERATOR), { clock: true });
    await page.locator('#overview tr[data-name="lab"] .pick').click();
    const card = page.locator("#card");
    await card.locator('.door[data-door="3"] button.open:enabled').waitFor({ timeout: 10000 });
    await page.locator("#approvals button:enabled", { hasText: "Approve" }).waitFor({ timeout: 10000 });
    await until("both rows known", async () => (await rowsKnown(page)) === 2);

    browser.outage = true;
    site.cabinetd.child.kill("SIGSTOP"); // holds every connection, answers nothing
    try {
      await blindWithin3s(page, card);
    } finally {
      site.cabinetd.child.kill("SIGCONT");
    }
    // Back by itself: its reconnection runs on the page's clock, which goes on.
    await until("the page hears cabinetd again", async () => {
      await page.clock.fastForward(1000);
      return (await page.locator("#blind-banner").isHidden()) && (await rowsKnown(page)) === 2;
    }, 20000);
    browser.outage = false;
    await card.locator('.door[data-door="3"] button.open:enabled').waitFor({ timeout: 10000 });
    await page.locator("#approvals button:enabled", { hasText: "Approve" }).waitFor({ timeout: 10000 });
    await page.locator("#approvals button", { hasText: "Decline" }).click();
    await page.locator("#approvals").waitFor({ state: "hidden", timeout: 10000 });
  });

  async function blindWithin3s(page, card) {
    await page.clock.fastForward(3000);
    await page.locator("#blind-banner").waitFor({ timeout: 2000 });
    assert.match(await page.locator("#blind-banner").textContent(), /Not hearing cabinetd since \d+:\d+:\d+.*UTC.*unknown/);
    // The banner is drawn at once, the overview and the card on the next
    // frame: a loaded machine may show the banner a frame before them.
    await until("every row and door unknown", async () =>
      (await rowsKnown(page)) === 0 && (await card.locator(".door.unknown").count()) === 8, 2000);
    for (const name of ["lab", "store"])
      assert.match(await page.locator(`#overview tr[data-name="${name}"] .ctl`).textContent(), /unknown since \d+:\d+/);
    assert.match(await card.locator(".unknown-note").textContent(), /State unknown since .*cabinetd is not heard/);
    assert.equal(await card.locator(".link").textContent(), "state unknown");
    assert.equal(await card.locator("button.open:enabled").count(), 0);
    assert.equal(await card.locator(".door.unknown").count(), 8);
    assert.equal(await page.locator("#approvals button:enabled", { hasText: "Approve" }).count(), 0);
    assert.match(await page.locator("#stream-status").textContent(), /stalled|lost/);
    await accessible(page, "blind");
  }

  test("says so at once when cabinetd stops, and resumes after it restarts without a record twice", async () => {
    const page = await browser.page(site.url(OPERATOR));
    await page.locator('#overview tr[data-name="lab"] .pick').click();
    const open3 = page.locator('#card .door[data-door="3"] button.open:enabled');
    await open3.waitFor({ timeout: 10000 });
    await until("both rows known", async () => (await rowsKnown(page)) === 2);
    const cycles = (door) => page.locator("#log li.event", { hasText: new RegExp(`cycle_complete\\s+door ${door}\\b`) }).count();
    const [before, before2] = [await cycles(3), await cycles(2)];
    browser.outage = true;
    await site.stopDaemon();
    await page.locator("#blind-banner").waitFor({ timeout: 5000 });
    assert.equal(await rowsKnown(page), 0);
    await site.restart();
    await page.locator("#blind-banner").waitFor({ state: "hidden", timeout: 15000 });
    browser.outage = false;
    await open3.click();
    await page.locator("#confirm-ok").click();
    await until("the cycle after the restart shown", async () => (await cycles(3)) >= before + 1);
    // A later cycle: a record shown twice would have come before its end.
    await page.locator('#card .door[data-door="2"] button.open:enabled').click();
    await page.locator("#confirm-ok").click();
    await until("door 2's cycle shown", async () => (await cycles(2)) > before2);
    const shown = await cycles(3);
    assert.equal(shown, before + 1, `${shown} cycle_complete lines of door 3 for ${before + 1} cycles`);
    assert.match(await page.locator("#stream-status").textContent(), /live/);
  });

  test("says that the journal's file was edited once cabinetd's check of its chain finds it", async () => {
    const page = await browser.page(site.url(OPERATOR));
    await until("both rows known", async () => (await rowsKnown(page)) === 2);
    browser.outage = true;
    await site.stopDaemon();
    const edit = spawnSync("python3", ["-c", "import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); " +
      "n = db.execute(\"UPDATE journal SET detail = '{}' WHERE cursor = (SELECT min(cursor) FROM journal " +
      "WHERE kind = 'event')\").rowcount; db.commit(); sys.exit(n != 1)", join(site.work, "j.db")], { encoding: "utf8" });
    assert.equal(edit.status, 0, "could not edit the journal: " + edit.stderr);
    await site.restart();
    // This token's scope is the whole site; the break is said whether or not
    // the journal's own record of it reaches the stream.
    await page.locator("#chain-broken", { hasText: /breaks at record \d+/ }).waitFor({ timeout: 15000 });
    browser.outage = false;
    await page.locator("#blind-banner").waitFor({ state: "hidden", timeout: 15000 });
    await accessible(page, "chain broken");
  });
});
