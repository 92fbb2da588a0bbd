// The alarm banner: every cabinet's active alarms, one line and one
// Acknowledge per door (a forced door left open is "forced" and "held_open"
// at once: one decision for the operator), and, when the operator asked for
// them, a beep and a desktop notification for each new alarm.
"use strict";

const alertKey = "cabinetd-alarm-alerts";
let alertsOn = localStorage.getItem(alertKey) === "on";
let audio = null; // made on the click that switches alerts on: browsers want one
const alerted = new Set(); // alarm ids already beeped for; bounded by pruning to the active ones
let ackFocus = false; // an Acknowledge just pressed: its button goes away with the rebuild

// The alarms of one door, in the order they were raised.
function alarmGroups() {
  const groups = [];
  for (const [name, alarms] of alarmsOf) {
    const byDoor = new Map();
    for (const a of alarms) {
      if (!byDoor.has(a.door)) groups.push({ name, door: a.door, alarms: byDoor.set(a.door, []).get(a.door) });
      byDoor.get(a.door).push(a);
    }
  }
  return groups;
}

function alarmItem(g) {
  const item = document.createElement("li");
  item.dataset.alarm = g.alarms.map((a) => a.alarm_id).join(" ");
  item.dataset.door = g.door;
  item.tabIndex = -1;
  const text = document.createElement("span");
  const lines = g.alarms.map((a) => `${a.text} (since ${timeText(a.raised_at_ms, false)})` +
    (a.acknowledged_by ? `; acknowledged by ${a.acknowledged_by}, clears once the door is closed and locked` : ""));
  text.textContent = `${g.name}, door ${g.door}: ${lines.join("; ")}`;
  text.title = g.alarms.map((a) => a.code).join(", ");
  item.appendChild(text);
  const open = g.alarms.filter((a) => !a.acknowledged_by);
  if (open.length && role === "operator") {
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = "Acknowledge";
    b.setAttribute("aria-label", `Acknowledge the ${open.length > 1 ? open.length + " alarms" : "alarm"} of ${g.name}, door ${g.door}`);
    b.addEventListener("click", () => acknowledgeAll(g.name, open.map((a) => a.alarm_id)));
    item.appendChild(b);
  }
  return item;
}

// Rebuilt only when the alarms change: a rebuild under a focused button
// would take the keyboard's place away every refresh. The banner is fixed to
// the bottom of the window, so the cards never move when it comes or goes;
// the page keeps room below its end so nothing stays hidden under it.
let shownAlarms = "";
function renderAlarms() {
  const list = document.getElementById("alarm-list");
  const now = JSON.stringify([role, [...alarmsOf]]);
  if (now !== shownAlarms) {
    shownAlarms = now;
    list.replaceChildren(...alarmGroups().map(alarmItem));
    const banner = document.getElementById("alarms");
    banner.hidden = list.children.length === 0;
    document.body.style.paddingBottom = banner.hidden ? "" : banner.offsetHeight + "px";
    announceNew();
  }
  // After an acknowledgement, whether or not the stream has already redrawn
  // the list under the button that had the keyboard.
  if (ackFocus) {
    ackFocus = false;
    (list.querySelector("button") || list.querySelector("li") || document.querySelector("#cabinets .cabinet"))?.focus();
  }
}

// Each door's alarms are acknowledged one id at a time, as the API takes
// them; all of them or the first failure is logged.
async function acknowledgeAll(name, ids) {
  let failed = null;
  for (const id of ids) {
    const r = await api(`/api/cabinets/${encodeURIComponent(name)}/alarms/ack`, {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify({ alarm_id: id }),
    });
    if (r.status !== 200) { failed = r.body.error || "failed"; break; }
  }
  log(`${name}  acknowledge alarm${ids.length > 1 ? "s" : ""}: ${failed || "done"}`, failed ? "fault" : "");
  ackFocus = true;
  refresh(name);
}

function beep() {
  if (!audio) return;
  audio.resume().then(() => {
    const osc = audio.createOscillator(), gain = audio.createGain();
    osc.frequency.value = 880;
    gain.gain.setValueAtTime(0.2, audio.currentTime);
    gain.gain.exponentialRampToValueAtTime(0.001, audio.currentTime + 0.4);
    osc.connect(gain).connect(audio.destination);
    osc.start();
    osc.stop(audio.currentTime + 0.4);
  }, () => {});
}

// A new, unacknowledged alarm beeps and notifies once; alarms shown when the
// page loads count as seen, so a reload does not repeat them.
let firstAlarms = true;
function announceNew() {
  const active = new Set();
  const fresh = [];
  for (const g of alarmGroups())
    for (const a of g.alarms) {
      active.add(a.alarm_id);
      if (!alerted.has(a.alarm_id) && !a.acknowledged_by) fresh.push(`${g.name}, door ${g.door}: ${a.text}`);
    }
  for (const id of alerted) if (!active.has(id)) alerted.delete(id);
  active.forEach((id) => alerted.add(id));
  const quiet = firstAlarms;
  firstAlarms = false;
  if (quiet || !alertsOn || fresh.length === 0) return;
  beep();
  if (window.Notification && Notification.permission === "granted")
    new Notification("Cabinet alarm", { body: fresh.join("\n"), tag: "cabinetd-alarm" });
}

function showAlertButton() {
  const b = document.getElementById("alarm-alerts");
  b.setAttribute("aria-pressed", String(alertsOn));
  b.textContent = alertsOn ? "Alarm sound and notice: on" : "Alarm sound and notice: off";
}

// Switched on by a click (browsers allow sound and notifications only
// then) and remembered; after a reload the sound waits for the next click
// anywhere on the page.
function setupAlerts() {
  const b = document.getElementById("alarm-alerts");
  b.addEventListener("click", () => {
    alertsOn = !alertsOn;
    localStorage.setItem(alertKey, alertsOn ? "on" : "off");
    if (alertsOn) {
      audio = audio || new AudioContext();
      if (window.Notification && Notification.permission === "default") Notification.requestPermission();
      beep();
    }
    showAlertButton();
  });
  if (alertsOn)
    document.addEventListener("click", () => { audio = audio || new AudioContext(); }, { once: true });
  showAlertButton();
}
setupAlerts();
