// The operator page: a live view of every cabinet from cabinetd's API and
// event stream, in plain modules, nothing fetched from anywhere but cabinetd.
//
// Calls go one way: main mounts the views and signs in; the views draw from
// the store (store.js) when it says what changed, and call the actions
// (actions.js) for what the operator does; the actions and the stream
// (stream.js) call the API (api.js) and feed the store, which calls nobody
// but its listeners. A new part of the page (a banner, a panel) is a view
// that listens to the store.
import * as actions from "./actions.js";
import { whenUnauthorized } from "./api.js";
import * as audit from "./audit.js";
import * as alarms from "./view_alarms.js";
import * as approvals from "./view_approvals.js";
import * as card from "./view_card.js";
import * as header from "./view_header.js";
import * as log from "./view_log.js";
import * as overview from "./view_overview.js";

const el = (id) => document.getElementById(id);
const KEY = "cabinetd-token"; // this tab's, in sessionStorage

// Without a working token the page shows the login alone: nothing to
// search, no one to sign out.
function showLogin(message) {
  el("login").hidden = false;
  el("login-error").textContent = message || "";
  el("token").focus();
}

function signIn(token) {
  sessionStorage.setItem(KEY, token);
  actions.signIn(token);
}

// Forgets the token, here and in sessionStorage, ends the stream, and
// clears what it showed.
function signOut(message) {
  sessionStorage.removeItem(KEY);
  actions.signOut();
  el("token").value = "";
  showLogin(message);
}

for (const view of [header, overview, card, alarms, approvals, log, audit]) view.mount();
whenUnauthorized(() => signOut("The token was not accepted."));
el("login").addEventListener("submit", (e) => {
  e.preventDefault();
  signIn(el("token").value.trim());
});
el("sign-out").addEventListener("click", () => signOut());

// A token in the address (/#token=…) is taken and removed from the address
// bar at once.
if (location.hash.startsWith("#token=")) {
  sessionStorage.setItem(KEY, decodeURIComponent(location.hash.slice(7)));
  history.replaceState(null, "", location.pathname);
}
const token = sessionStorage.getItem(KEY) || "";
if (token) signIn(token);
else showLogin();