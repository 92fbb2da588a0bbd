// The events log and the audit: the last records at sign-in, the token's
// own cabinets only; a refusal in the log when it happens, counted or not;
// every line in words; the audit's search, its CSV, who approved; signing
// out and in.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { after, before, describe, it } from "node:test";
import { Browser, Site, accessible, haveBrowser, live, logLines, until } from "./rig.mjs";

if (!haveBrowser) {
  console.log("no browser: skipped");
  process.exit(77);
}

const OPERATOR = "page-operator-0123456789"; // lab's doors but 7, store's
const SECOND = "page-second-operator-0123456789";
const WARD = "page-ward-viewer-0123456789"; // reads lab only

describe("the log and the audit", () => {
  let site, browser;
  const test = (name, fn) => it(name, () => browser.test(fn)());
  before(async () => {
    site = new Site();
    const sims = [await site.sim(), await site.sim()];
    await site.daemon({
      tokens: [`page operator ${OPERATOR} lab:1-6+8,store:*`, `second operator ${SECOND}`,
               `ward viewer ${WARD} lab:*`],
      cabinets: { lab: { endpoint: `tcp:127.0.0.1:${sims[0].serial}`, two_person_doors: [8] },
                  store: `tcp:127.0.0.1:${sims[1].serial}` },
    });
    browser = await Browser.launch();
    await site.ready(OPERATOR);
    // Something to find: an open of each cabinet, and one of door 8 that
    // a second operator approved.
    for (const [cabinet, door] of [["lab", 3], ["store", 5]]) {
      const r = await site.api(OPERATOR, `/api/cabinets/${cabinet}/doors/${door}/open?wait=cycle`, { method: "POST" });
      assert.equal(r.body.outcome, "done", JSON.stringify(r.body));
    }
    const asked = await site.api(OPERATOR, "/api/cabinets/lab/doors/8/open", { method: "POST" });
    const approved = await site.api(SECOND, `/api/approvals/${asked.body.approval_id}`, { method: "POST" });
    assert.equal(approved.status, 202, JSON.stringify(approved.body));
  });
  after(async () => {
    await browser?.close();
    site?.close();
  });

  test("shows the last records at sign-in, of the token's own cabinets only, every one in words", async () => {
    const page = await browser.page(site.url(WARD));
    await page.locator("#log li", { hasText: "cycle_complete" }).first().waitFor({ timeout: 10000 });
    const lines = await logLines(page);
    assert.ok(lines.length > 5 && lines.length <= 50, `${lines.length} lines`);
    assert.ok(lines.every((l) => /UTC  lab  /.test(l)), lines.find((l) => !/UTC  lab  /.test(l)));
    assert.ok(lines.some((l) => /open\s+door 8.*approved by second/.test(l)), lines.join("\n"));
    assert.equal(await page.locator("#log li[data-raw]").count(), 0,
                 (await page.locator("#log li[data-raw]").allTextContents()).join("\n"));
    assert.match(await page.locator("#viewer-note").textContent(), /Read-only/);
  });

  test("shows each refusal when it happens, those counted into one record too", async () => {
    const page = await browser.page(site.url(OPERATOR));
    await live(page);
    const refusals = page.locator("#log li.refused", { hasText: /not_permitted\s+door 7/ });
    const already = await refusals.count();
    for (let i = 1; i <= 3; i++) {
      const r = await site.api(OPERATOR, "/api/cabinets/lab/doors/7/open", { method: "POST" });
      assert.equal(r.status, 403);
      // Each within seconds, long before its minute's record.
      await until(`refusal ${i} in the log`, async () => (await refusals.count()) === already + i, 5000);
    }
    const lines = await refusals.allTextContents();
    assert.ok(lines.every((l) => /— The token may not do this here/.test(l)), lines.join("\n"));
    assert.match(lines.at(-1), /2 more this minute/);
  });

  test("searches the audit by a name's start and door, exports the search on screen, says who approved", async () => {
    const page = await browser.page(site.url(OPERATOR));
    await live(page);
    await page.locator("#audit-by").focus();
    await page.keyboard.type("PA"); // the start of the name, in either case
    await page.locator("#audit-door").selectOption("3");
    await page.locator("#audit-kind").selectOption("open");
    await page.locator("#audit-by").press("Enter");
    await page.locator("#audit-table tbody tr", { hasText: "page" }).first().waitFor({ timeout: 10000 });
    assert.equal(await page.locator("#audit-table tbody tr").count(), 1);
    const cells = await page.locator("#audit-table tbody tr td").allTextContents();
    assert.match(cells[0], /UTC/);
    assert.deepEqual([cells[6], cells[7]], ["", "accepted"]);
    // The export is the search on screen, not what the form says since.
    await page.locator("#audit-door").selectOption("5");
    const [download] = await Promise.all([page.waitForEvent("download"), page.locator("#audit-csv").click()]);
    const csv = readFileSync(await download.path(), "utf8").split("\r\n");
    assert.ok(csv[0].startsWith("cursor,at,cabinet,kind"), csv[0]);
    assert.match(csv[1], /,lab,open,,3,.*,page,.*,accepted,,,[0-9a-f]{64},,$/);
    assert.equal(csv[2], "");
    await page.locator("#audit-door").selectOption("8");
    await page.locator("#audit-form button[type=submit]").click();
    await page.locator("#audit-table tbody tr td:nth-child(7)", { hasText: "second" }).waitFor({ timeout: 10000 });
    // Every record, 50 a page: cut off, and the next offered. One more cycle
    // first, so that the journal holds more than a page whatever else this
    // run has journalled by now.
    const more = await site.api(OPERATOR, "/api/cabinets/store/doors/5/open?wait=cycle", { method: "POST" });
    assert.equal(more.body.outcome, "done", JSON.stringify(more.body));
    for (const id of ["#audit-door", "#audit-kind"]) await page.locator(id).selectOption("");
    await page.locator("#audit-by").fill("");
    await page.locator("#audit-form button[type=submit]").click();
    await page.locator("#audit-status", { hasText: "cut off at 50" }).waitFor({ timeout: 10000 });
    assert.equal(await page.locator("#audit-next").isDisabled(), false);
  });

  test("forgets the token and ends the stream on sign-out, and signs in again", async () => {
    const page = await browser.page(site.url(OPERATOR));
    await live(page);
    await page.locator("#sign-out").click();
    await page.locator("#login").waitFor({ timeout: 5000 });
    assert.equal(await page.evaluate(() => document.activeElement?.id), "token");
    assert.equal(await page.evaluate(() => sessionStorage.getItem("cabinetd-token")), null);
    assert.equal(await page.locator("#audit").isVisible(), false);
    assert.equal(await page.locator("#overview tbody tr").count(), 0);
    assert.equal(await page.locator("#log li").count(), 0);
    assert.match(await page.locator("#stream-status").textContent(), /not connected/);
    await page.locator("#token-hint", { hasText: "Tokens" }).waitFor();
    await accessible(page, "first contact");
    await page.locator("#token").fill(OPERATOR);
    await page.locator("#token").press("Enter");
    await page.locator("#stream-status", { hasText: "live" }).waitFor({ timeout: 15000 });
    await page.locator('#overview tr[data-name="store"]').waitFor();
  });
});
