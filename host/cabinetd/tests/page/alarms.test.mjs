// Alarms: a door forced open disables every Open and says why; its alarms
// are one line with one Acknowledge, from the keyboard; the panel never
// covers a cabinet's row; Acknowledge only where the token may.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";
import { Browser, PHONE, Site, accessible, control, haveBrowser, until } from "./rig.mjs";

if (!haveBrowser) {
  console.log("no browser: skipped");
  process.exit(77);
}

const OPERATOR = "page-operator-0123456789"; // every door of lab but 7
const OWNER = "page-owner-0123456789"; // acknowledges door 7's alarms, opens nothing

// Whether two boxes overlap.
const overlap = (a, b) => a && b && a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;

describe("alarms", () => {
  let site, browser, sim;
  const test = (name, fn) => it(name, () => browser.test(fn)());
  before(async () => {
    site = new Site();
    sim = await site.sim();
    const other = await site.sim();
    await site.daemon({
      tokens: [`page operator ${OPERATOR} lab:1-6+8,store:*`, `owner viewer ${OWNER} alarms=lab:7`],
      cabinets: { lab: { endpoint: `tcp:127.0.0.1:${sim.serial}`, held_open_s: 3 },
                  store: `tcp:127.0.0.1:${other.serial}` },
    });
    browser = await Browser.launch();
    await site.ready(OPERATOR);
  });
  after(async () => {
    await browser?.close();
    site?.close();
  });

  test("a door forced and held open: Open disabled with why, two alarms under one Acknowledge, no row covered", async () => {
    const page = await browser.page(site.url(OPERATOR));
    await page.locator('#overview tr[data-name="lab"] .pick').click();
    const card = page.locator("#card");
    await card.locator("button.open:enabled").first().waitFor({ timeout: 10000 });
    await control(sim.control, "door 5 force-open");
    await card.locator('.door[data-door="5"].open').waitFor({ timeout: 10000 });
    await until("Open disabled while door 5 is open", async () => (await card.locator("button.open:enabled").count()) === 0);
    assert.match(await card.locator(".blocked").textContent(), /door 5/);
    // Held open past its limit (3 s here): two alarms, one line, one Acknowledge.
    const door5 = page.locator('#alarm-list li[data-cabinet="lab"][data-door="5"]');
    await page.locator('#alarm-list li[data-door="5"][data-alarm*=" "]').waitFor({ timeout: 10000 });
    await until("two alarms in the title", async () => (await page.title()) === "(2) Cabinets");
    assert.equal(await door5.count(), 1);
    assert.equal(await door5.locator("button").count(), 1);
    const row = page.locator('#overview tr[data-name="lab"]');
    assert.match(await row.getAttribute("data-attention"), /alarm/);
    assert.equal(await page.locator("#overview tbody tr").first().getAttribute("data-name"), "lab", "needing attention first");
    for (const size of [{ width: 1280, height: 800 }, PHONE]) {
      await page.setViewportSize(size);
      for (const name of ["lab", "store"])
        assert.ok(!overlap(await page.locator("#alarms").boundingBox(),
                           await page.locator(`#overview tr[data-name="${name}"]`).boundingBox()),
                  `the alarms cover ${name}'s row at ${size.width} px`);
    }
    await page.setViewportSize({ width: 1280, height: 800 });
    await accessible(page, "a door forced open");
    await door5.locator("button").focus();
    await page.keyboard.press("Space");
    await until("both of door 5's alarms acknowledged", async () =>
      (await door5.textContent()).split("acknowledged by page").length === 3 && (await door5.locator("button").count()) === 0);
    assert.equal(await page.evaluate(() => document.activeElement?.id), "alarms-title", "the keyboard is lost");
    await control(sim.control, "door 5 close");
    await until("the alarms gone", async () => (await page.title()) === "Cabinets");
    await page.locator("#alarms-none").waitFor();
  });

  test("offers Acknowledge only on the alarms the token may acknowledge", async () => {
    const page = await browser.page(site.url(OPERATOR));
    const owner = await browser.page(site.url(OWNER));
    await control(sim.control, "door 7 force-open");
    const door7 = page.locator('#alarm-list li[data-door="7"]');
    await door7.waitFor({ timeout: 10000 });
    const theirs = owner.locator('#alarm-list li[data-door="7"] button', { hasText: "Acknowledge" });
    await theirs.waitFor({ timeout: 10000 });
    assert.equal(await door7.locator("button").count(), 0);
    await theirs.click();
    await door7.filter({ hasText: "acknowledged by owner" }).waitFor({ timeout: 10000 });
    await control(sim.control, "door 7 close");
    await until("door 7's alarm gone", async () => (await page.title()) === "Cabinets");
  });
});
