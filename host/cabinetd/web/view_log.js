// The events log: each record at its own time, not when the page received it
// (a stream that reconnects delivers what it missed), the latest last; the
// store keeps the latest 300 lines, and so does the list.
import { timeText } from "./format.js";
import * as store from "./store.js";

const el = (id) => document.getElementById(id);
let drawn = 0; // store.state.logSeq as of the last line drawn

function draw() {
  const list = el("log");
  const { log, logSeq } = store.state;
  if (logSeq < drawn) {
    list.replaceChildren(); // signed out: what this token was shown goes
    drawn = 0;
  }
  const fresh = Math.min(logSeq - drawn, log.length);
  if (fresh <= 0) return;
  const stuck = list.scrollTop + list.clientHeight >= list.scrollHeight - 4; // following the end
  for (const line of log.slice(log.length - fresh)) {
    const li = document.createElement("li");
    li.textContent = timeText(line.at_ms) + "  " + line.text;
    if (line.cls) li.className = line.cls;
    if (line.title) li.title = "code: " + line.title;
    if (line.raw) li.dataset.raw = "1"; // a code cabinetd sent no words for
    list.appendChild(li);
  }
  drawn = logSeq;
  while (list.children.length > log.length) list.firstElementChild.remove();
  if (stuck) list.scrollTop = list.scrollHeight;
}

// Drawn once a frame, however many records came in it: the lines are
// measured only then.
let due = false;
function later() {
  if (due) return;
  due = true;
  requestAnimationFrame(() => {
    due = false;
    draw();
  });
}

export function mount() {
  store.on("log", later);
}
