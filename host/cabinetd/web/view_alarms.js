// The alarms panel: every cabinet's active alarms, one line and one
// Acknowledge per door (offered only where the token may acknowledge), and,
// when the operator asked for them, a beep and a desktop notification for
// each new alarm. The panel is part of the page's flow, beside or above the
// overview: it never covers a cabinet's row.
import * as actions from "./actions.js";
import { timeText } from "./format.js";
import * as store from "./store.js";

const el = (id) => document.getElementById(id);
const alertKey = "cabinetd-alarm-alerts";
let alertsOn = localStorage.getItem(alertKey) === "on";
let audio = null; // made on the click that switches alerts on: browsers want one
const alerted = new Set(); // alarm ids already beeped for; pruned to the active ones
let firstAlarms = true; // alarms shown when the page begins count as seen
let shown = "";
let ackFocus = false; // an Acknowledge pressed: the keyboard goes on once it is done
const acking = new Set(); // "cabinet/door" of the acknowledgements under way

function item(g) {
  const li = document.createElement("li");
  li.dataset.alarm = g.alarms.map((a) => a.alarm_id).join(" ");
  li.dataset.cabinet = g.name;
  li.dataset.door = g.door;
  li.tabIndex = -1;
  const text = document.createElement("span");
  const lines = g.alarms.map((a) => `${a.text} (since ${timeText(a.raised_at_ms)})` +
    (a.acknowledged_by ? `; acknowledged by ${a.acknowledged_by}, clears once the door is closed and locked` : ""));
  text.textContent = `${g.name}, door ${g.door}: ${lines.join("; ")}`;
  text.title = g.alarms.map((a) => a.code).join(", ");
  li.appendChild(text);
  const open = g.alarms.filter((a) => !a.acknowledged_by);
  const r = store.state.rights[g.name];
  const key = `${g.name}/${g.door}`;
  if (open.length && r && r.acknowledge.includes(g.door)) {
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = acking.has(key) ? "Acknowledging…" : "Acknowledge";
    b.disabled = acking.has(key); // once: each of its alarms is sent in turn
    b.setAttribute("aria-label", `Acknowledge the ${open.length > 1 ? open.length + " alarms" : "alarm"} of ${g.name}, door ${g.door}`);
    b.addEventListener("click", async () => {
      acking.add(key);
      ackFocus = true;
      draw();
      await actions.acknowledge(g.name, open.map((a) => a.alarm_id));
      acking.delete(key);
      draw();
    });
    li.appendChild(b);
  }
  return li;
}

// Rebuilt only when the alarms (or the rights) change: a rebuild under a
// focused button would take the keyboard's place away.
function draw() {
  const groups = store.alarmGroups();
  const now = JSON.stringify([store.state.rights, groups, [...acking]]);
  const list = el("alarm-list");
  if (now !== shown) {
    shown = now;
    list.replaceChildren(...groups.map(item));
    const n = store.activeAlarms();
    el("alarm-count").textContent = n ? `(${n})` : "";
    el("alarms-none").hidden = n > 0;
    el("alarms").classList.toggle("active", n > 0);
    announce(groups);
    // After an acknowledgement, once the list shows it, the keyboard goes
    // on from the next alarm, or the heading once none is left.
    if (ackFocus && acking.size === 0) {
      ackFocus = false;
      (list.querySelector("button:enabled") || el("alarms-title")).focus();
    }
  }
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

// A new, unacknowledged alarm beeps and notifies once.
function announce(groups) {
  const active = new Set();
  const fresh = [];
  for (const g of groups)
    for (const a of g.alarms) {
      active.add(a.alarm_id);
      if (!alerted.has(a.alarm_id) && !a.acknowledged_by) fresh.push(`${g.name}, door ${g.door}: ${a.text}`);
    }
  for (const id of alerted) if (!active.has(id)) alerted.delete(id);
  active.forEach((id) => alerted.add(id));
  const quiet = firstAlarms;
  if (store.state.cabinets.size) firstAlarms = false;
  if (quiet || !alertsOn || fresh.length === 0) return;
  beep();
  if (window.Notification && Notification.permission === "granted")
    new Notification("Cabinet alarm", { body: fresh.join("\n"), tag: "cabinetd-alarm" });
}

function showAlertButton() {
  const b = el("alarm-alerts");
  b.setAttribute("aria-pressed", String(alertsOn));
  b.textContent = alertsOn ? "Alarm sound: on" : "Alarm sound: off";
  b.title = "A beep and a desktop notice for each new alarm";
}

// Switched on by a click (browsers allow sound and notifications only then)
// and remembered; after a reload the sound waits for the next click.
export function mount() {
  const b = el("alarm-alerts");
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
  if (alertsOn) document.addEventListener("click", () => { audio = audio || new AudioContext(); }, { once: true });
  showAlertButton();
  store.on("cabinets", draw);
  store.on("rights", draw);
  store.on("session", () => {
    if (!store.state.who) firstAlarms = true;
    draw();
  });
}
