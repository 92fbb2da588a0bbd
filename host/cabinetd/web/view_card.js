// The full card of the cabinet chosen in the overview: its eight doors,
// closed or open and locked or unlocked, the controller's state and fault in
// words, the heartbeat, the session, and Open on the doors the token may
// open (after a confirmation, with a reason where the door needs one), and
// Clear fault. Open is disabled while cabinetd says an open would be
// refused (and says why), outside the token's hours, and while the page
// does not know the cabinet's present state.
import * as actions from "./actions.js";
import { ask } from "./dialog.js";
import { sentence, timeText } from "./format.js";
import * as store from "./store.js";
import { linkWords } from "./words.js";

const el = (id) => document.getElementById(id);
let card = null; // { name, el, doors: [...] }
let agesTimer = null;

function build(name) {
  const article = el("cabinet-template").content.firstElementChild.cloneNode(true);
  article.dataset.name = name;
  article.id = "card";
  article.setAttribute("aria-label", "Cabinet " + name);
  article.querySelector(".name").textContent = name;
  const doors = [];
  const holder = article.querySelector(".doors");
  for (let d = 1; d <= 8; d++) {
    const door = document.createElement("div");
    door.className = "door unknown";
    door.dataset.door = d;
    const label = document.createElement("strong");
    label.textContent = `Door ${d}`;
    const pos = document.createElement("span");
    pos.className = "pos";
    const lock = document.createElement("span");
    lock.className = "lock";
    const marks = document.createElement("span");
    marks.className = "marks";
    const button = document.createElement("button");
    button.type = "button";
    button.className = "open";
    button.hidden = true;
    button.addEventListener("click", () => openDoor(name, d, button));
    door.append(label, pos, lock, marks, button);
    holder.appendChild(door);
    doors.push({ door, pos, lock, marks, button });
  }
  article.querySelector(".clear").addEventListener("click", () => clearFault(name));
  return { name, el: article, doors };
}

// Heartbeats go out every second: while they are answered the card says so
// (the status changes only when that does); once they are not, the age of
// the last answer, which grows as this browser's clock does.
function heartbeatText(s, sinceMs) {
  if (s.heartbeat_age_s == null) return "none";
  const fresh = s.controller && !s.controller.heartbeat_ok ? " (not fresh on the controller)" : "";
  if (s.heartbeat === "ok") return "answered every second" + fresh;
  const age = (s.heartbeat_age_s + sinceMs / 1000).toFixed(0) + " s ago";
  return (s.heartbeat === "refused" ? "refused; last answered " : "last answered ") + age + fresh;
}

// The token's hours on a cabinet, said when they limit it, with when they
// next let it in while they do not.
function hoursText(r) {
  if (!r || !r.hours) return "";
  return r.open_now ? `Your hours here: ${r.hours}.`
    : `Outside your hours here (${r.hours}): your doors open to you again ` +
      (r.next_open_ms ? timeText(r.next_open_ms, true) + "." : "within no week.");
}

function draw() {
  if (!card) return;
  const c = store.state.cabinets.get(card.name);
  if (!c) return;
  const s = store.known(card.name);
  const last = c.status;
  const e = card.el;
  const r = store.state.rights[card.name];
  const link = e.querySelector(".link");
  link.textContent = s ? linkWords(s.link) : "state unknown";
  link.className = "link badge " + (s ? s.link : "unknown");
  e.classList.toggle("lost", !s || s.link !== "up");
  e.classList.toggle("stale", !s);
  const note = e.querySelector(".unknown-note");
  note.hidden = !!s;
  const since = store.blind() ? store.blindSince() : c.at;
  note.textContent = s ? "" : `State unknown since ${timeText(since)}: ` +
    (store.blind() ? "cabinetd is not heard, so what this card showed then may have changed."
      : "waiting for cabinetd to say it.");
  const stateEl = e.querySelector(".state");
  const faultEl = e.querySelector(".fault");
  const ctl = s?.controller;
  if (!ctl) {
    stateEl.textContent = s ? `unknown (${s.link_reason})` : "unknown";
    faultEl.textContent = "unknown";
    stateEl.removeAttribute("title");
    faultEl.removeAttribute("title");
    faultEl.dataset.code = "";
  } else {
    const faulted = ctl.fault_text != null;
    stateEl.textContent = faulted ? "stopped by a fault" : ctl.state_text;
    stateEl.title = "code: " + ctl.state;
    faultEl.textContent = faulted ? ctl.fault_text : "none";
    faultEl.title = faulted ? "code: " + ctl.fault : "";
    faultEl.dataset.code = faulted ? ctl.fault : "";
  }
  e.querySelector(".heartbeat").textContent = s ? heartbeatText(s, Date.now() - c.at) : "unknown";
  e.querySelector(".session").textContent = last.session_id || "unknown";
  e.dataset.session = s ? s.session_id || "" : "";
  const blocked = !s ? "its present state is unknown" : s.admits_open ? null : s.open_blocked_reason || "opens are refused now";
  e.querySelector(".blocked").textContent = blocked ? "Opens are disabled: " + sentence(blocked) : "";
  const hours = e.querySelector(".hours");
  hours.textContent = hoursText(r);
  hours.hidden = !hours.textContent;
  const outside = !!r && !r.open_now;
  const twoPerson = new Set(last.two_person_doors || []);
  card.doors.forEach(({ door, pos, lock, marks, button }, i) => {
    const d = i + 1;
    const info = s && Array.isArray(s.doors) ? s.doors[i] : null;
    door.className = "door " + (info ? (info.closed ? "closed" : "open") + " " + (info.locked ? "locked" : "unlocked") : "unknown");
    pos.textContent = info ? (info.closed ? "closed" : "open") : "?";
    lock.textContent = info ? (info.locked ? "locked" : "unlocked") : "?";
    const needsReason = (last.doors || [])[i]?.needs_reason ?? false;
    door.dataset.reason = needsReason ? "1" : "";
    door.classList.toggle("two-person", twoPerson.has(d));
    const mine = store.isOperator() && !!r && r.open.includes(d);
    marks.textContent = [needsReason && "reason", twoPerson.has(d) && "two-person", mine && outside && "outside hours"]
      .filter(Boolean).join(", ");
    button.hidden = !mine;
    button.textContent = twoPerson.has(d) ? "Open (needs approval)" : "Open";
    button.setAttribute("aria-label", `Open door ${d} of ${card.name}` + (twoPerson.has(d) ? ", with a second operator's approval" : ""));
    button.disabled = blocked != null || outside;
    if (blocked) button.title = "Cannot open now: " + blocked;
    else if (outside) button.title = "Outside your hours: " + hours.textContent;
    else button.removeAttribute("title");
  });
  const clear = e.querySelector(".clear");
  clear.hidden = !(store.isOperator() && ctl && ctl.fault_text != null && r && r.open.length > 0);
  clear.disabled = !s;
  const shared = s?.board_id_shared_with || [];
  const warning = e.querySelector(".board-warning");
  warning.hidden = shared.length === 0;
  warning.textContent = shared.length ?
    `Board ${s.board_id} is also reported by ${shared.join(", ")}: two cabinets share one board id ` +
    "(a copied configuration?), so MQTT takes no command on topics named by it." : "";
  // The heartbeat's age moves with this browser's clock while it is late.
  const ticking = !!s && s.heartbeat !== "ok" && s.heartbeat_age_s != null;
  if (ticking && agesTimer == null) agesTimer = setInterval(draw, 1000);
  if (!ticking && agesTimer != null) {
    clearInterval(agesTimer);
    agesTimer = null;
  }
}

function show() {
  const name = store.state.selected;
  const area = el("card-area");
  if (card && card.name === name) return draw();
  if (card) card.el.remove();
  card = null;
  el("card-hint").hidden = !!name;
  if (!name || !store.state.cabinets.has(name)) return;
  card = build(name);
  area.appendChild(card.el);
  draw();
  card.el.focus({ preventScroll: true });
  card.el.scrollIntoView({ block: "nearest" });
}

const whereNow = () => document.querySelector(`#overview tr[data-name="${CSS.escape(card?.name || "")}"] .pick`);

async function openDoor(name, door, button) {
  const s = store.known(name);
  const needsReason = !!card.doors[door - 1].door.dataset.reason;
  const twoPerson = card.doors[door - 1].door.classList.contains("two-person");
  const info = s?.doors?.[door - 1];
  const answer = await ask({
    title: twoPerson ? `Ask a second operator to approve opening door ${door} of ${name}?` : `Open door ${door} of ${name}?`,
    facts: [["Cabinet", name], ["Door", String(door)],
            ["Now", info ? `${info.closed ? "closed" : "open"}, ${info.locked ? "locked" : "unlocked"}` : "unknown"],
            ...(twoPerson ? [["Then", "another operator approves it on their page, within the time cabinetd allows"]] : [])],
    confirm: twoPerson ? "Ask for approval" : `Open door ${door}`,
    reason: needsReason ? { required: true } : null,
    fallbackFocus: () => button,
  });
  if (!answer) return;
  await actions.openDoor(name, door, answer.reason);
}

async function clearFault(name) {
  const s = store.known(name);
  const answer = await ask({
    title: `Clear the fault of ${name}?`,
    facts: [["Cabinet", name], ["Fault", s?.controller?.fault_text || "unknown"],
            ["Then", "the controller goes back to idle; do it once the cause is fixed"]],
    confirm: "Clear the fault",
    fallbackFocus: whereNow,
  });
  if (!answer) return;
  await actions.clearFault(name);
}

export function mount() {
  store.on("selected", show);
  store.on("cabinets", (name) => { if (name == null || name === card?.name) show(); });
  store.on("rights", draw);
  store.on("session", show);
  store.on("stream", draw);
}
