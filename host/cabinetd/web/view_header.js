// The header and the banners: who is signed in, whether the stream is heard,
// what the site needs now in one line, and the tab's title with the number
// of active alarms (so a tab in the background shows them too). While the
// page is blind a banner says so in words, and since when.
import { plural, timeText } from "./format.js";
import * as store from "./store.js";

const el = (id) => document.getElementById(id);

function drawSession() {
  const who = store.state.who;
  el("who").textContent = who ? `${who.name} (${who.role})` : "";
  el("sign-out").hidden = !who;
  el("viewer-note").hidden = !who || who.role !== "viewer";
  el("console").hidden = !who;
  el("audit").hidden = !who;
  if (who) el("login").hidden = true;
}

function drawStream() {
  const s = el("stream-status");
  const st = store.state.stream;
  const live = st.connected && !st.stalled;
  s.textContent = "stream: " + (!store.state.who ? "not connected" : live ? "live"
    : st.stalled ? "stalled" : st.lost ? "lost, reconnecting" : "connecting");
  s.className = "badge " + (live ? "up" : "down");
  const banner = el("blind-banner");
  const blind = store.blind();
  banner.hidden = !blind;
  document.body.classList.toggle("blind", blind);
  if (blind)
    banner.textContent = `Not hearing cabinetd since ${timeText(store.blindSince())}: what the cabinets show now is ` +
      "unknown, and opens and approvals are disabled until it is heard again. Reconnecting by itself…";
}

// A break in the journal's hash chain: records were changed in its file
// behind cabinetd's back, which whoever audits the cabinets must know before
// trusting what the page shows.
function drawChain() {
  const at = store.state.chainBrokenAt;
  const banner = el("chain-broken");
  banner.hidden = at == null;
  if (at != null)
    banner.textContent = `The journal's hash chain breaks at record ${at}: records were changed in ` +
      "cabinetd's journal file behind its back. Tell whoever runs cabinetd (cabinetctl journal verify).";
}

// "8 cabinets · 2 need attention · 3 alarms · 1 awaiting approval"
function drawSummary() {
  const names = [...store.state.cabinets.keys()];
  const needing = names.filter((n) => store.attention(n).length).length;
  const alarms = store.activeAlarms();
  const parts = [plural(names.length, "cabinet")];
  if (!store.blind()) parts.push(needing ? `${needing} need${needing === 1 ? "s" : ""} attention` : "all well");
  if (alarms) parts.push(plural(alarms, "alarm"));
  if (store.state.approvals.size) parts.push(`${store.state.approvals.size} awaiting approval`);
  const summary = store.state.who ? parts.join(" · ") : "";
  if (el("site-summary").textContent !== summary) el("site-summary").textContent = summary;
  const title = (alarms ? `(${alarms}) ` : "") + "Cabinets";
  if (document.title !== title) document.title = title;
}

export function mount() {
  store.on("session", () => { drawSession(); drawStream(); drawSummary(); });
  store.on("stream", () => { drawStream(); drawSummary(); });
  store.on("cabinets", drawSummary);
  store.on("approvals", drawSummary);
  store.on("chain", drawChain);
  drawSession();
  drawStream();
}
