// Opens of two-person doors awaiting a second operator, kept by the store
// from the stream's approval records: Approve (after a confirmation naming
// who asked, the cabinet, the door, the reason and the time left) and
// Decline for whoever may, Withdraw for whoever asked; and for the requester,
// how each of her requests ended, in words, for minutes after.
import * as actions from "./actions.js";
import { ask, withdraw } from "./dialog.js";
import { span, timeText } from "./format.js";
import * as store from "./store.js";
import { endedWords } from "./words.js";

const el = (id) => document.getElementById(id);
let shown = "";
let pruneTimer = null;
let asking = null; // the approval the confirmation is about

function button(label, description, onClick) {
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = label;
  b.setAttribute("aria-label", description);
  b.addEventListener("click", onClick);
  return b;
}

async function approve(a, b) {
  asking = a.approval_id;
  const left = () => a.expires_at_ms - Date.now();
  const answer = await ask({
    title: `Approve opening door ${a.door} of ${a.cabinet}?`,
    facts: [["Asked by", a.requested_by], ["Cabinet", a.cabinet], ["Door", String(a.door)],
            ["Reason", a.reason || "none given"], ["Expires", timeText(a.expires_at_ms)]],
    confirm: `Approve: open door ${a.door} now`,
    tick: () => store.blind() ? { note: "cabinetd is not heard: approving waits until it is.", expired: true }
      : left() > 0 ? { note: `Time left: ${span(left())}.` }
      : { note: "This request has expired: it can no longer be approved.", expired: true },
    fallbackFocus: () => el("approvals-title"),
  });
  asking = null;
  if (!answer || !store.state.approvals.has(a.approval_id) || store.blind()) return;
  b.disabled = true;
  await actions.settle(a, "POST", "approve");
}

function pendingItem(a) {
  const li = document.createElement("li");
  li.dataset.approval = a.approval_id;
  const text = document.createElement("span");
  const mine = a.requested_by === store.state.who?.name;
  text.textContent = `${a.cabinet}, door ${a.door}: asked by ${a.requested_by}` +
    (a.reason ? ` (${a.reason})` : "") + `, until ${timeText(a.expires_at_ms)}` +
    (mine ? "; waiting for a second operator" : "");
  li.appendChild(text);
  const where = `${a.cabinet}, door ${a.door}`;
  if (store.mayApprove(a)) {
    const yes = button("Approve", `Approve the open of ${where}, asked by ${a.requested_by}`, () => approve(a, yes));
    yes.disabled = store.blind();
    if (yes.disabled) yes.title = "Not while cabinetd is not heard";
    li.appendChild(yes);
    li.appendChild(button("Decline", `Decline the open of ${where}`, (e) => {
      e.currentTarget.disabled = true;
      actions.settle(a, "DELETE", "decline");
    }));
  }
  if (mine && store.isOperator())
    li.appendChild(button("Withdraw", `Withdraw your open of ${where}`, (e) => {
      e.currentTarget.disabled = true;
      actions.settle(a, "DELETE", "withdraw");
    }));
  return li;
}

function endedItem(id, e) {
  const li = document.createElement("li");
  li.dataset.approval = id;
  li.dataset.end = e.code;
  const text = document.createElement("span");
  text.textContent = `${timeText(e.at_ms)}: ${endedWords(e)}`;
  li.appendChild(text);
  li.appendChild(button("Dismiss", `Dismiss: ${endedWords(e)}`, () => store.dismissEnded(id)));
  return li;
}

function draw() {
  const pending = [...store.state.approvals.values()];
  const ended = [...store.state.ended];
  const now = JSON.stringify([pending, ended, store.blind(), store.state.rights, store.state.who]);
  if (now === shown) return; // a rebuild would take a focused button away
  shown = now;
  if (asking && !store.state.approvals.has(asking)) withdraw(); // settled meanwhile
  el("approval-list").replaceChildren(...pending.map(pendingItem));
  el("ended-list").replaceChildren(...ended.map(([id, e]) => endedItem(id, e)));
  el("ended-title").hidden = ended.length === 0;
  el("approvals").hidden = pending.length === 0 && ended.length === 0;
  clearTimeout(pruneTimer);
  if (ended.length) {
    const next = Math.min(...ended.map(([, e]) => e.seen_ms)) + store.ENDED_KEEP_MS - Date.now();
    pruneTimer = setTimeout(() => store.pruneEnded(Date.now()), Math.max(next, 1000));
  }
}

export function mount() {
  store.on("approvals", draw);
  store.on("stream", draw);
  store.on("rights", draw);
  store.on("session", draw);
}
