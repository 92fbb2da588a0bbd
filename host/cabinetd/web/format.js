// Times and counts as the page writes them. Every time names its zone, the
// browser's: the page may be read far from the cabinet, and beside a CSV
// that gives UTC.

export function timeText(ms, withDate = false) {
  const d = new Date(ms);
  const options = { timeZoneName: "short" };
  return withDate ? d.toLocaleString(undefined, options) : d.toLocaleTimeString(undefined, options);
}

// "12 s", "3 min", "2 h": how long something lasted or is left, whole units.
export function span(ms) {
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 120) return `${s} s`;
  if (s < 7200) return `${Math.round(s / 60)} min`;
  return `${Math.round(s / 3600)} h`;
}

export function plural(n, one, many = one + "s") {
  return `${n} ${n === 1 ? one : many}`;
}

// A sentence from cabinetd's words, which end with a full stop or not.
export function sentence(text) {
  return /[.!?]$/.test(text) ? text : text + ".";
}
