// A whole site on one screen: 64 cabinets (cabinet-fleet's stand-ins) in the
// overview, those needing attention first, a filter and a search, a row's
// card; and the same on a phone.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";
import { Browser, PHONE, Site, accessible, control, haveBrowser, until } from "./rig.mjs";

if (!haveBrowser || !process.env.CABINET_FLEET) {
  console.log("no browser or no cabinet-fleet: skipped");
  process.exit(77);
}

const OPERATOR = "page-operator-0123456789";
const COUNT = 64;
const nameOf = (i) => `cab-${String(i + 1).padStart(2, "0")}`;

describe("a site of 64 cabinets", () => {
  let site, browser, fleet;
  const test = (name, fn) => it(name, () => browser.test(fn)());
  before(async () => {
    site = new Site();
    fleet = await site.fleet(COUNT);
    const cabinets = Object.fromEntries(fleet.ports.map((p, i) => [nameOf(i), `tcp:127.0.0.1:${p}`]));
    await site.daemon({ tokens: [`page operator ${OPERATOR}`], cabinets });
    browser = await Browser.launch();
    await site.ready(OPERATOR);
  });
  after(async () => {
    await browser?.close();
    site?.close();
  });

  const shownRows = (page) => page.locator("#overview tbody tr").evaluateAll((rows) => rows.map((r) => r.dataset.name));

  test("puts the cabinets needing attention first, filters them, finds one by name, and opens its card", async () => {
    const page = await browser.page(site.url(OPERATOR));
    await until("64 cabinets known", async () =>
      (await page.locator("#overview tbody tr:not(.unknown):not(.attention)").count()) === COUNT, 30000);
    assert.match(await page.locator("#site-summary").textContent(), /64 cabinets · all well/);
    await control(fleet.control, "36 door 2 open"); // cab-37, as someone forcing it
    const row = page.locator('#overview tr[data-name="cab-37"]');
    await row.locator(".cell.open.alarmed").waitFor({ timeout: 10000 });
    await until("cab-37 first", async () => (await shownRows(page))[0] === "cab-37");
    assert.match(await row.getAttribute("data-attention"), /alarm/);
    assert.match(await page.locator("#site-summary").textContent(), /1 needs attention · 1 alarm/);
    await page.locator("#attention-only").check();
    assert.deepEqual(await shownRows(page), ["cab-37"]);
    assert.equal(await page.locator("#overview-status").textContent(), "Showing 1 of 64 cabinets.");
    await page.locator("#attention-only").uncheck();
    await page.locator("#find").fill("CAB-6");
    assert.deepEqual((await shownRows(page)).sort(), ["cab-60", "cab-61", "cab-62", "cab-63", "cab-64"]);
    await page.locator("#find").fill("");
    await page.locator("#sort").selectOption("name");
    assert.deepEqual((await shownRows(page)).slice(0, 3), ["cab-01", "cab-02", "cab-03"]);
    await page.locator("#sort").selectOption("attention");
    await row.locator(".pick").click();
    const card = page.locator('#card[data-name="cab-37"]');
    await card.locator('.door[data-door="2"].open').waitFor();
    assert.equal(await page.evaluate(() => document.activeElement?.id), "card");
    assert.equal(await row.locator(".pick").getAttribute("aria-expanded"), "true");
    await accessible(page, "site of 64");
    await control(fleet.control, "36 door 2 close");
    await card.locator('.door[data-door="2"].closed.locked').waitFor({ timeout: 10000 });
    await page.locator("#alarm-list button", { hasText: "Acknowledge" }).click();
    await until("cab-37 well again", async () => (await row.getAttribute("data-attention")) === "");
  });

  test("on a phone: a cabinet to a line, every door within the width, the skip link within the header", async () => {
    const page = await browser.page(site.url(OPERATOR), { size: PHONE, mobile: true });
    await until("64 rows", async () => (await page.locator("#overview tbody tr:not(.unknown)").count()) === COUNT, 30000);
    for (const name of ["cab-01", "cab-64"]) {
      const strip = await page.locator(`#overview tr[data-name="${name}"] .strip`).boundingBox();
      assert.ok(strip && strip.x >= 0 && strip.x + strip.width <= PHONE.width, `${name}'s doors outside the width`);
      const rowBox = await page.locator(`#overview tr[data-name="${name}"]`).boundingBox();
      assert.ok(rowBox.height < 60, `${name}'s row is ${rowBox.height} px high`);
    }
    const [scrollWidth, clientWidth] = await page.evaluate(() =>
      [document.documentElement.scrollWidth, document.documentElement.clientWidth]);
    assert.ok(scrollWidth <= clientWidth, `the phone scrolls sideways: ${scrollWidth} > ${clientWidth}`);
    await page.keyboard.press("Tab");
    const skip = await page.locator(".skip").boundingBox();
    const header = await page.locator("header#top").boundingBox();
    assert.equal(await page.evaluate(() => document.activeElement?.className), "skip");
    assert.ok(skip.x >= header.x && skip.y >= header.y && skip.x + skip.width <= header.x + header.width &&
              skip.y + skip.height <= header.y + header.height,
              `the skip link ${JSON.stringify(skip)} is not within the header ${JSON.stringify(header)}`);
    await page.keyboard.press("Enter");
    assert.equal(await page.evaluate(() => document.activeElement?.id), "log-section");
  });
});
