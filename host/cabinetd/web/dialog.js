// The confirmation asked before anything that cannot be undone (an open, an
// approval, a clear): a modal <dialog>, so the keyboard stays in it and a
// screen reader reads its title and facts; Escape or Cancel says no. The
// keyboard starts on Cancel and goes back to where it was when the dialog
// closes (or, when that is gone, to what the caller names).

const el = (id) => document.getElementById(id);
let pending = null; // the open question's resolve

// facts: [label, value] pairs. reason: { required } to ask for one.
// tick: called every second while open, returns { note, expired } (time
// left, say); an expired question cannot be confirmed.
export function ask({ title, facts, confirm, reason = null, tick = null, fallbackFocus = null }) {
  const dialog = el("confirm");
  if (pending) pending(null); // one question at a time
  const opener = document.activeElement;
  el("confirm-title").textContent = title;
  el("confirm-facts").replaceChildren(...facts.flatMap(([label, value]) => {
    const dt = document.createElement("dt");
    dt.textContent = label;
    const dd = document.createElement("dd");
    dd.textContent = value;
    return [dt, dd];
  }));
  const ok = el("confirm-ok");
  ok.textContent = confirm;
  const input = el("confirm-reason");
  el("confirm-reason-label").hidden = !reason;
  input.value = "";
  input.required = !!reason?.required;
  const note = el("confirm-note");
  note.textContent = "";
  let timer = null;
  const update = () => {
    if (!tick) return;
    const t = tick();
    note.textContent = t.note || "";
    ok.disabled = !!t.expired;
  };
  ok.disabled = false;
  update();
  if (tick) timer = setInterval(update, 1000);
  return new Promise((resolve) => {
    const done = (answer) => {
      if (pending !== finish) return;
      pending = null;
      clearInterval(timer);
      dialog.removeEventListener("close", onClose);
      el("confirm-form").removeEventListener("submit", onSubmit);
      el("confirm-cancel").removeEventListener("click", onCancel);
      if (dialog.open) dialog.close();
      const back = opener && opener.isConnected && !opener.disabled ? opener : fallbackFocus?.();
      back?.focus();
      resolve(answer);
    };
    const finish = (answer) => done(answer);
    const onSubmit = (e) => {
      e.preventDefault();
      if (ok.disabled) return;
      if (reason && !input.value.trim()) {
        input.focus();
        return;
      }
      done({ reason: reason ? input.value.trim() : null });
    };
    const onCancel = () => done(null);
    const onClose = () => done(null); // Escape
    pending = finish;
    dialog.addEventListener("close", onClose);
    el("confirm-form").addEventListener("submit", onSubmit);
    el("confirm-cancel").addEventListener("click", onCancel);
    dialog.showModal();
    (reason ? input : el("confirm-cancel")).focus();
  });
}

// The question is moot (its approval ended meanwhile, the page went blind):
// the dialog closes as if cancelled.
export function withdraw() {
  if (pending) pending(null);
}
