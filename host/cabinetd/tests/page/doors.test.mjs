// A cabinet's card: its doors opened from the keyboard after a
// confirmation, a short open shown as it happened, a fault in words and
// cleared, a token's hours, a controller that restarts.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";
import { Browser, Site, accessible, control, haveBrowser, logLines, until } from "./rig.mjs";

if (!haveBrowser) {
  console.log("no browser: skipped");
  process.exit(77);
}

const OPERATOR = "page-operator-0123456789";
// An operator of lab's doors 1 to 3 whose hours are never now: two days on, one hour.
const NIGHT = "page-night-operator-0123456789";
const NIGHT_DAY = ["Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"][(new Date().getUTCDay() + 2) % 7];

describe("a cabinet's card", () => {
  let site, browser, sim;
  const test = (name, fn) => it(name, () => browser.test(fn)());
  before(async () => {
    site = new Site();
    sim = await site.sim();
    const twin = await site.sim(); // a copy of the first: the same board id
    await site.daemon({
      tokens: [`page operator ${OPERATOR} lab:*,twin:*`,
               `night operator ${NIGHT} lab:1-3@${NIGHT_DAY}/08:00-09:00`],
      cabinets: { lab: { endpoint: `tcp:127.0.0.1:${sim.serial}`, reason_doors: [4] },
                  twin: `tcp:127.0.0.1:${twin.serial}` },
    });
    browser = await Browser.launch();
    await site.ready(OPERATOR);
  });
  after(async () => {
    await browser?.close();
    site?.close();
  });

  // The card of lab, opened from the overview.
  async function labCard(page) {
    await page.locator('#overview tr[data-name="lab"] .pick').click();
    const card = page.locator('#card[data-name="lab"]');
    await card.locator('.door[data-door="8"].closed').waitFor();
    return card;
  }

  test("opens a door from the keyboard after a confirmation naming it, and it locks again", async () => {
    const page = await browser.page(site.url(OPERATOR));
    const card = await labCard(page);
    const open3 = card.locator('.door[data-door="3"] button.open');
    await open3.and(page.locator(":enabled")).waitFor();
    await open3.focus();
    await page.keyboard.press("Enter");
    const dialog = page.locator("dialog#confirm");
    await dialog.waitFor();
    assert.match(await dialog.locator("#confirm-title").textContent(), /Open door 3 of lab\?/);
    assert.equal(await page.evaluate(() => document.activeElement?.id), "confirm-cancel");
    await page.keyboard.press("Escape"); // no: nothing is sent, the keyboard is back
    await dialog.waitFor({ state: "hidden" });
    assert.equal(await open3.evaluate((b) => b === document.activeElement), true);
    await page.keyboard.press("Enter");
    await dialog.waitFor();
    await page.keyboard.press("Tab");
    await page.keyboard.press("Enter");
    await page.locator("#log li", { hasText: "open door 3: accepted" }).waitFor({ timeout: 10000 });
    assert.equal((await logLines(page)).filter((l) => /open door 3:/.test(l)).length, 1);
    await card.locator('.door[data-door="3"].open').waitFor({ timeout: 10000 });
    await card.locator('.door[data-door="3"].closed.locked').waitFor({ timeout: 15000 });
    const cycle = page.locator("#log li.event", { hasText: "cycle_complete" }).first();
    await cycle.waitFor({ timeout: 10000 });
    assert.match(await cycle.textContent(), /UTC/); // a time names its zone
    assert.match(await card.locator(".board-warning").textContent(), /twin/);
  });

  test("asks why before opening a door that needs a reason", async () => {
    const page = await browser.page(site.url(OPERATOR));
    const card = await labCard(page);
    await card.locator('.door[data-door="4"] button.open:enabled').click();
    const reason = page.locator("#confirm-reason");
    await reason.waitFor();
    await page.locator("#confirm-ok").click(); // no reason yet: nothing happens
    assert.equal(await page.locator("dialog#confirm").isVisible(), true);
    await reason.fill("restock");
    await page.locator("#confirm-ok").click();
    await page.locator("#log li", { hasText: "open door 4: accepted" }).waitFor({ timeout: 10000 });
    await page.locator("#log li.open", { hasText: "(restock)" }).waitFor({ timeout: 10000 });
    await card.locator('.door[data-door="4"].closed.locked').waitFor({ timeout: 15000 });
  });

  test("shows a 300 ms open as open and then closed, Open disabled through the latch's re-arm", async () => {
    const page = await browser.page(site.url(OPERATOR));
    const card = await labCard(page);
    for (const c of ["door 2 open-after 50", "door 2 open-for 300"]) await control(sim.control, c);
    const door2 = card.locator('.door[data-door="2"]');
    await door2.locator("button:enabled").waitFor({ timeout: 15000 });
    // Each change of the door on the page: how it is shown, and whether Open
    // may be pressed and why not.
    await page.evaluate(() => {
      const el = document.querySelector('#card .door[data-door="2"]');
      const button = el.querySelector("button");
      const seen = (globalThis.door2Seen = []);
      new MutationObserver(() => seen.push({ cls: el.className, enabled: !button.disabled, why: button.title }))
        .observe(el, { attributes: true, subtree: true });
    });
    await door2.locator("button").click();
    await page.locator("#confirm-ok").click();
    await page.locator("#log li", { hasText: "open door 2: accepted" }).waitFor({ timeout: 10000 });
    await page.locator("#log li.event", { hasText: /cycle_complete\s+door 2/ }).waitFor({ timeout: 10000 });
    await door2.locator("button:enabled").waitFor({ timeout: 10000 });
    const seen = await page.evaluate(() => globalThis.door2Seen);
    const shown = seen.map((s) => `${s.cls} ${s.enabled ? "enabled" : "disabled: " + s.why}`).join(" / ");
    const opened = seen.findIndex((s) => /\bopen\b/.test(s.cls));
    assert.ok(opened >= 0 && seen.slice(opened).some((s) => /\bclosed\b/.test(s.cls)), `not shown open, then closed: ${shown}`);
    // Disabled from the open until cabinetd says the driver has re-armed: the
    // cycle over (closed and locked) while Open still waits for the re-arm.
    const off = seen.findIndex((s) => !s.enabled);
    const on = seen.findIndex((s, i) => i > off && s.enabled);
    assert.ok(off >= 0 && on > off && off <= opened, `Open not disabled from the open: ${shown}`);
    assert.ok(seen.slice(off, on).some((s) => /\bclosed locked\b/.test(s.cls) && /re-arming/.test(s.why)),
              `Open not disabled through the re-arm after the cycle: ${shown}`);
  });

  test("says a fault in words, its code on hover, and clears it after a confirmation", async () => {
    const page = await browser.page(site.url(OPERATOR));
    const card = await labCard(page);
    // Door 4 forced open while door 6 waits to be opened: other_door_unsafe.
    await control(sim.control, "door 6 never-open");
    await card.locator('.door[data-door="6"] button.open:enabled').click();
    await page.locator("#confirm-ok").click();
    await page.locator("#log li", { hasText: "open door 6: accepted" }).waitFor({ timeout: 10000 });
    await control(sim.control, "door 4 force-open");
    const fault = card.locator(".fault[title*=other_door_unsafe]");
    await fault.waitFor({ timeout: 10000 });
    for (const text of [await fault.textContent(), await card.locator(".state").textContent(),
                        await card.locator(".blocked").textContent(),
                        await page.locator('#overview tr[data-name="lab"] .ctl').textContent()])
      assert.doesNotMatch(text, /_/, `not in words: "${text}"`);
    assert.match(await card.locator(".blocked").textContent(), /another door was open or unlocked/);
    await page.locator("#log li.fault", { hasText: "other_door_unsafe" }).filter({ hasText: "— " }).first().waitFor();
    await accessible(page, "a fault");
    // Secured again (door 6, left unlocked by the abandoned open, is opened
    // and closed so its latch locks), then cleared from the card.
    for (const c of ["door 4 close", "door 6 normal", "door 6 open"]) await control(sim.control, c);
    await card.locator('.door[data-door="6"] .pos', { hasText: "open" }).waitFor({ timeout: 10000 });
    await control(sim.control, "door 6 close");
    await card.locator('.door[data-door="6"].closed.locked').waitFor({ timeout: 10000 });
    await card.locator("button.clear").click();
    assert.match(await page.locator("#confirm-facts").textContent(), /another door was open or unlocked/i);
    await page.locator("#confirm-ok").click();
    await page.locator("#log li", { hasText: "clear fault: cleared" }).waitFor({ timeout: 10000 });
    await card.locator(".fault", { hasText: "none" }).waitFor({ timeout: 10000 });
    // The alarms the forced doors raised are this test's to end.
    for (let i = 0; i < 5 && (await page.locator("#alarm-list button").count()); i++)
      await page.locator("#alarm-list button").first().click().catch(() => {});
    await until("the alarms gone", async () => (await page.title()) === "Cabinets");
  });

  test("marks the doors outside the token's hours, with when they open to it again", async () => {
    const page = await browser.page(site.url(NIGHT));
    const card = await labCard(page);
    const hours = card.locator(".hours", { hasText: `Outside your hours here (${NIGHT_DAY}/08:00-09:00)` });
    await hours.waitFor({ timeout: 10000 });
    assert.match(await hours.textContent(), /again .*8:00:00/);
    await until("doors 1 to 3 marked outside hours, their Open disabled", async () =>
      (await card.locator(".door .marks", { hasText: "outside hours" }).count()) === 3 &&
      (await card.locator("button.open:visible").count()) === 3 &&
      (await card.locator("button.open:enabled:visible").count()) === 0);
    await accessible(page, "outside hours");
  });

  test("shows the controller's new session when it restarts", async () => {
    const page = await browser.page(site.url(OPERATOR));
    const card = await labCard(page);
    const before = await card.getAttribute("data-session");
    await control(sim.control, "power-cycle 300");
    await until("the new session shown", async () => {
      const now = await card.getAttribute("data-session");
      return now && now !== before && (await card.locator(".link.up").count()) > 0;
    });
    await page.locator("#log li.session", { hasText: "restarted" }).first().waitFor({ timeout: 5000 });
  });
});
