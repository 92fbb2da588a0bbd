// Two-person doors on the operator page (app.js calls in here; loaded
// before it). The doors are marked, and opens waiting for a second operator
// are listed with Approve and Decline for those who may, and Withdraw for
// whoever asked.
"use strict";

function markTwoPerson(door, button, c) {
  const needs = (c.two_person_doors || []).includes(Number(door.dataset.door));
  door.classList.toggle("two-person", needs);
  button.textContent = needs ? "Open (needs approval)" : "Open";
}

let shownApprovals = "";
async function refreshApprovals() {
  const r = await api("/api/approvals");
  if (r.status !== 200) return;
  const now = JSON.stringify([me, r.body.approvals]);
  if (now === shownApprovals) return; // a rebuild would take a focused button away
  shownApprovals = now;
  const list = document.getElementById("approval-list");
  list.replaceChildren();
  for (const a of r.body.approvals) {
    const item = document.createElement("li");
    item.dataset.approval = a.approval_id;
    const text = document.createElement("span");
    const mine = a.requested_by === me;
    text.textContent = `${a.cabinet}, door ${a.door}: asked by ${a.requested_by}` +
      (a.reason ? ` (${a.reason})` : "") + `, until ${timeText(a.expires_at_ms, false)}` +
      (mine ? "; waiting for a second operator" : "");
    item.appendChild(text);
    const where = `${a.cabinet}, door ${a.door}`;
    if (a.may_approve) item.appendChild(approvalButton("Approve", `Approve the open of ${where}`, a, "POST"));
    if (a.may_approve) item.appendChild(approvalButton("Decline", `Decline the open of ${where}`, a, "DELETE"));
    if (mine && role === "operator")
      item.appendChild(approvalButton("Withdraw", `Withdraw your open of ${where}`, a, "DELETE"));
    list.appendChild(item);
  }
  document.getElementById("approvals").hidden = list.children.length === 0;
}

function approvalButton(label, description, a, method) {
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = label;
  b.setAttribute("aria-label", description);
  b.addEventListener("click", async () => {
    b.disabled = true;
    const r = await api("/api/approvals/" + encodeURIComponent(a.approval_id), { method });
    const said = r.body.code || r.body.status || r.body.error;
    log(`${a.cabinet}  ${label.toLowerCase()} the open of door ${a.door}: ${said}`,
        r.status === 200 || r.status === 202 ? "" : "fault");
    refreshApprovals();
  });
  return b;
}
