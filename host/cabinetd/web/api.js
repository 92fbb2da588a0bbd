// cabinetd's HTTP API with the signed-in token. Nothing here knows the page:
// a refused token is told to whoever asked to be told (main.js), and every
// answer is { status, body }, status 0 when cabinetd could not be reached in
// time (restarting, stopped, the network gone), which callers take as "try
// later".

let token = "";
let unauthorized = () => {};
const TIMEOUT_MS = 8000; // a stopped cabinetd takes the connection and answers nothing

export function setToken(t) { token = t; }
export function hasToken() { return token !== ""; }
export function whenUnauthorized(f) { unauthorized = f; }

// The raw answer (a CSV, headers to read), or null when cabinetd could not
// be reached in time.
export async function request(path, options = {}, timeoutMs = TIMEOUT_MS) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeoutMs);
  const headers = Object.assign({ Authorization: "Bearer " + token }, options.headers || {});
  try {
    const r = await fetch(path, Object.assign({}, options, { headers, signal: abort.signal }));
    if (r.status === 401 && token) unauthorized();
    return r;
  } catch {
    return null;
  } finally {
    clearTimeout(timer);
  }
}

export async function api(path, options = {}, timeoutMs = TIMEOUT_MS) {
  const r = await request(path, options, timeoutMs);
  if (!r) return { status: 0, body: {} };
  const body = await r.json().catch(() => ({}));
  return { status: r.status, body };
}

export function postJson(path, body, method = "POST") {
  return api(path, { method, headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
}

export const cabinetPath = (name) => "/api/cabinets/" + encodeURIComponent(name);
