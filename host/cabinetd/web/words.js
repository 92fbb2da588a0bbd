// Codes in words. What a code means comes from cabinetd (a record's `text`,
// a status's `fault_text` and `state_text`, a refusal's `text`), from the
// one table in host/lib that cabinetctl and MQTT use too, so the page keeps
// no table of its own; the code stays on hover, and in the log, for those
// who look it up. What is here is how the page puts those words together.

export function linkWords(link) {
  return link === "up" ? "online" : link === "silent" ? "controller silent" : "link lost";
}

// A record as a line of the log: where, what (its code) and, in cabinetd's
// words, what it means.
export function describe(record) {
  const d = record.detail && typeof record.detail === "object" ? record.detail : {};
  const parts = [record.cabinet || "cabinetd", record.kind, record.code];
  if (record.door_id) parts.push("door " + record.door_id);
  if (record.kind === "gap") parts.push(`events ${record.event_seq}–${record.seq_to ?? "…"} missing`);
  else if (record.event_seq != null && record.kind === "event") parts.push("#" + record.event_seq);
  if (record.kind === "session") parts.push(record.session_id);
  if (d.reason && record.kind !== "link" && record.kind !== "session") parts.push("(" + d.reason + ")");
  if (d.requested_by) parts.push("by " + d.requested_by);
  if (record.approved_by) parts.push("approved by " + record.approved_by);
  if (d.declined_by) parts.push("declined by " + d.declined_by);
  if (record.kind === "refused" && d.count > 1) parts.push(`${d.count} times`);
  if (record.kind === "alarm") {
    parts.push(d.state || "", d.text || "");
    if (d.by) parts.push("by " + d.by);
  }
  if (record.outcome) parts.push("→ " + record.outcome);
  if (record.kind === "link" && d.reason) parts.push("(" + d.reason + ")");
  if (record.text && record.kind !== "alarm") parts.push("— " + record.text);
  return parts.filter(Boolean).join("  ");
}

// A refusal cabinetd counted instead of journalling it on its own: its
// count comes in a record when its minute is over.
export function describeRefusal(r) {
  const what = r.action ? r.action.replace("_", " ") : "open";
  return [r.cabinet, "refused", r.code, r.door_id ? "door " + r.door_id : "", what, "by " + r.requested_by,
          `(${r.count} more this minute, to be journalled as one record)`, r.text ? "— " + r.text : ""]
    .filter(Boolean).join("  ");
}

// An ended request as its requester reads it.
export function endedWords(e) {
  const where = `${e.approval.cabinet}, door ${e.approval.door}`;
  switch (e.code) {
  case "approved":
    return `Your open of ${where} was approved by ${e.by}` +
      (e.outcome && e.outcome !== "accepted" ? `, but the controller refused it (${e.outcome}).` : ": the door was released.");
  case "declined": return `Your open of ${where} was declined by ${e.by}: nothing was opened.`;
  case "withdrawn": return `You withdrew your open of ${where}.`;
  case "expired": return `Your open of ${where} expired: nobody approved it in time, nothing was opened.`;
  case "revoked": return `Your open of ${where} was ended: ${e.why || "you may no longer open that door"}.`;
  default: return `Your open of ${where}: ${e.code}.`;
  }
}
