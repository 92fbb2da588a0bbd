// Two-person doors: Approve asks first, naming who asked, the cabinet, the
// door, the reason and the time left, from the keyboard; the requester is
// told how her request ended, in words, for minutes; and the page keeps the
// approvals from the stream, with no fetch per record.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";
import { Browser, Site, accessible, haveBrowser, until } from "./rig.mjs";

if (!haveBrowser) {
  console.log("no browser: skipped");
  process.exit(77);
}

const NURSE = "page-nurse-0123456789";
const PHARMACIST = "page-pharmacist-0123456789";
const tokens = [`nurse operator ${NURSE}`, `pharmacist operator ${PHARMACIST}`];
let browser;

before(async () => { browser = await Browser.launch(); });
after(() => browser?.close());
const test = (name, fn) => it(name, () => browser.test(fn)());

// The nurse asks for door 8, on her page, with a reason.
async function ask(page, reason) {
  await page.locator('#overview tr[data-name="ward"] .pick').click();
  await page.locator('#card .door[data-door="8"] button.open:enabled', { hasText: "needs approval" }).click();
  assert.match(await page.locator("#confirm-title").textContent(), /second operator/);
  if (await page.locator("#confirm-reason").isVisible()) await page.locator("#confirm-reason").fill(reason);
  await page.locator("#confirm-ok").click();
  await page.locator("#approvals li", { hasText: "waiting for a second operator" }).waitFor({ timeout: 10000 });
  assert.equal(await page.locator("#approvals button", { hasText: "Approve" }).count(), 0,
               "the requester is offered her own approval");
}

describe("approving an open", () => {
  let site;
  before(async () => {
    site = new Site();
    const sim = await site.sim();
    await site.daemon({ tokens, cabinets: { ward: { endpoint: `tcp:127.0.0.1:${sim.serial}`, two_person_doors: [8],
                                                    reason_doors: [8] } } });
    await site.ready(NURSE);
  });
  after(() => site?.close());

  test("asks first, naming who asked, the cabinet, the door, the reason and the time left", async () => {
    const nurse = await browser.page(site.url(NURSE));
    // Listening before the page loads: its fetch at sign-in may come at once.
    const pharmacist = await browser.page();
    const fetched = [];
    pharmacist.on("request", (r) => { if (new URL(r.url()).pathname === "/api/approvals") fetched.push(r.method()); });
    await pharmacist.goto(site.url(PHARMACIST));
    await pharmacist.locator("#overview tr[data-name=ward]").waitFor();
    await ask(nurse, "night round, patient 12");
    const approve = pharmacist.locator("#approvals button", { hasText: "Approve" });
    await approve.waitFor({ timeout: 10000 });
    await accessible(pharmacist, "awaiting approval");
    // From the keyboard: Enter opens the question, Escape says no.
    await approve.focus();
    await pharmacist.keyboard.press("Enter");
    const dialog = pharmacist.locator("dialog#confirm");
    await dialog.waitFor();
    const facts = await dialog.locator("#confirm-facts").innerText();
    for (const said of ["nurse", "ward", "8", "night round, patient 12"]) assert.ok(facts.includes(said), facts);
    assert.match(await dialog.locator("#confirm-note").textContent(), /Time left: \d+ s/);
    assert.equal(await dialog.getAttribute("aria-labelledby"), "confirm-title");
    await accessible(pharmacist, "approve dialog");
    await pharmacist.keyboard.press("Escape");
    await dialog.waitFor({ state: "hidden" });
    assert.equal(await approve.evaluate((b) => b === document.activeElement), true, "the keyboard is not back on Approve");
    assert.equal(await nurse.locator("#approvals li", { hasText: "waiting" }).count(), 1, "Escape approved it");
    await pharmacist.keyboard.press("Enter");
    await dialog.waitFor();
    await pharmacist.keyboard.press("Tab");
    await pharmacist.keyboard.press("Enter");
    const card = nurse.locator("#card");
    await card.locator('.door[data-door="8"].open').waitFor({ timeout: 10000 });
    await nurse.locator("#ended-list li[data-end=approved]", { hasText: "approved by pharmacist" }).waitFor({ timeout: 10000 });
    await card.locator('.door[data-door="8"].closed.locked').waitFor({ timeout: 15000 });
    // The request and its approval came on the stream; the list was fetched once, at sign-in.
    assert.deepEqual(fetched, ["GET"]);
  });

  test("tells the requester, for minutes, that another declined her request", async () => {
    const nurse = await browser.page(site.url(NURSE), { clock: true });
    const pharmacist = await browser.page(site.url(PHARMACIST));
    await pharmacist.locator("#overview tr[data-name=ward]").waitFor();
    await ask(nurse, "restock");
    await pharmacist.locator("#approvals button", { hasText: "Decline" }).click();
    const told = nurse.locator("#ended-list li[data-end=declined]");
    await told.waitFor({ timeout: 10000 });
    assert.match(await told.textContent(), /declined by pharmacist: nothing was opened/);
    await nurse.clock.fastForward(61000);
    assert.equal(await told.count(), 1, "gone within a minute");
    await nurse.clock.fastForward(5 * 60000);
    await told.waitFor({ state: "detached", timeout: 5000 });
  });
});

describe("an approval nobody gives", () => {
  let site;
  before(async () => {
    site = new Site();
    const sim = await site.sim();
    await site.daemon({ tokens, cabinets: { ward: { endpoint: `tcp:127.0.0.1:${sim.serial}`, two_person_doors: [8] } },
                        more: ["--approval-expiry-s", "2"] });
    await site.ready(NURSE);
  });
  after(() => site?.close());

  test("tells the requester her request expired", async () => {
    const nurse = await browser.page(site.url(NURSE));
    const pharmacist = await browser.page(site.url(PHARMACIST));
    await ask(nurse, "restock");
    // cabinetd's own timer ends it: no one asks.
    const told = nurse.locator("#ended-list li[data-end=expired]");
    await told.waitFor({ timeout: 10000 });
    assert.match(await told.textContent(), /expired: nobody approved it in time/);
    await until("the pharmacist's list empty", async () => (await pharmacist.locator("#approval-list li").count()) === 0);
    assert.equal(await nurse.locator("#approval-list li").count(), 0);
  });
});
