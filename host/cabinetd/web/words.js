// Codes in words. The words come from cabinetd (a status's fault_text, a
// record's text), the same sentences cabinetctl prints, so the page keeps no
// table of its own; the code stays on hover for those who look it up.
"use strict";

// The controller's facts on a card: its state and its fault in words, the
// codes as the elements' titles.
function showController(el, c) {
  const ctl = c.controller;
  const state = el.querySelector(".state");
  const fault = el.querySelector(".fault");
  if (!ctl) {
    state.textContent = "unknown (" + c.link_reason + ")";
    fault.textContent = "unknown";
    state.removeAttribute("title");
    fault.removeAttribute("title");
    return;
  }
  const faulted = ctl.fault_text != null;
  state.textContent = faulted ? "stopped by a fault" : ctl.state_text;
  state.title = ctl.state;
  fault.textContent = faulted ? ctl.fault_text : "none";
  fault.title = faulted ? "code: " + ctl.fault : "";
  fault.dataset.code = faulted ? ctl.fault : "";
}

// A record as a line of the log: who, what (its code) and then, where
// cabinetd explains it, what it means.
function describe(record) {
  const parts = [record.cabinet || "cabinetd", record.kind, record.code];
  if (record.door_id) parts.push("door " + record.door_id);
  if (record.kind === "gap") parts.push(`events ${record.event_seq}–${record.seq_to ?? "…"} missing`);
  else if (record.event_seq != null && record.kind === "event") parts.push("#" + record.event_seq);
  if (record.kind === "session") parts.push(record.session_id);
  if (record.detail && record.detail.reason) parts.push("(" + record.detail.reason + ")");
  if (record.detail && record.detail.requested_by) parts.push("by " + record.detail.requested_by);
  if (record.kind === "alarm" && record.detail) {
    parts.push(record.detail.state || "", record.detail.text || "");
    if (record.detail.by) parts.push("by " + record.detail.by);
  }
  if (record.outcome) parts.push("→ " + record.outcome);
  if (record.text) parts.push("— " + record.text);
  return parts.join("  ");
}
