// The page of kq2741-panel: draws what the server's event stream says the
// instrument reports, and sends each change as one POST. The server is the
// judge of every value; a refusal's sentence is shown at its field.
"use strict";

(() => {
  const token = new URLSearchParams(location.search).get("token");
  const views = new Map(); // channel number -> its elements and last read-back
  let wavelengthsShown = "";
  let retry = 250;

  const $ = (selector, root = document) => root.querySelector(selector);

  function say(element, text) {
    if (element.textContent !== text) element.textContent = text;
  }

  // --- the connection ---------------------------------------------------------

  function showConnected(connected) {
    document.body.classList.toggle("lost", !connected);
    say($("#connection"), connected ? "connected" : "lost");
    for (const set of document.querySelectorAll("fieldset.controls")) set.disabled = !connected;
  }

  function listen() {
    const url = new URL("/events", location.href);
    url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
    if (token) url.searchParams.set("token", token);
    const socket = new WebSocket(url);
    socket.onopen = () => { retry = 250; };
    socket.onmessage = (event) => take(JSON.parse(event.data));
    socket.onclose = () => {
      showConnected(false);
      say($("#panel-alert"), "The panel does not answer; trying again.");
      setTimeout(listen, retry);
      retry = Math.min(retry * 2, 4000);
    };
  }

  function take(message) {
    switch (message.type) {
      case "snapshot":
        say($("#panel-alert"), "");
        draw(message);
        showConnected(message.connected);
        break;
      case "channel":
        showChannel(message.channel);
        break;
      case "connection":
        showConnected(message.connected);
        break;
      case "action":
        if (message.channel === null) {
          say($("#panel-alert"), "");
        } else if (views.has(message.channel)) {
          say(views.get(message.channel).note, `Last action: ${message.action} at ${new Date().toLocaleTimeString()}`);
        }
        break;
    }
  }

  // --- drawing ----------------------------------------------------------------

  function draw(snapshot) {
    say($("#version"), snapshot.version ?? "unknown");
    say($("#port"), snapshot.port);
    say($("#limits"), `Attenuation from 0 to ${snapshot.max_db} dB in steps of ${snapshot.step_db} dB.`);
    // Sections are made again only when the channels or their lists changed
    // (another instrument on the port): typing in progress survives a reconnection.
    const shape = JSON.stringify(snapshot.channels.map((c) => [c.number, c.wavelengths]));
    if (shape !== wavelengthsShown) {
      wavelengthsShown = shape;
      views.clear();
      $("#channels").replaceChildren(...snapshot.channels.map(makeChannel));
    }
    for (const channel of snapshot.channels) showChannel(channel);
  }

  function makeChannel(channel) {
    const n = channel.number;
    const section = $("#channel").content.firstElementChild.cloneNode(true);
    const view = {
      input: $("input.set", section),
      readback: $("output.value", section),
      select: $("select", section),
      attenuationAlert: $(".attenuation-alert", section),
      channelAlert: $(".channel-alert", section),
      note: $(".note", section),
      mode: $(".mode", section),
      shown: null,
    };
    const heading = $("h2", section);
    heading.id = `ch${n}-heading`;
    heading.textContent = `Channel ${n}`;
    section.setAttribute("aria-labelledby", heading.id);
    view.attenuationAlert.id = `ch${n}-attenuation-alert`;
    view.channelAlert.id = `ch${n}-alert`;
    view.input.setAttribute("aria-label", `Channel ${n} attenuation (dB)`);
    view.input.setAttribute("aria-describedby", view.attenuationAlert.id);
    view.readback.setAttribute("aria-label", `Channel ${n} attenuation read-back`);
    view.select.setAttribute("aria-label", `Channel ${n} wavelength (nm)`);
    view.select.setAttribute("aria-describedby", view.channelAlert.id);
    $("button.apply", section).setAttribute("aria-label", `Set channel ${n} attenuation`);
    const clear = $("button.clear", section);
    const disconnect = $("button.disconnect", section);
    clear.setAttribute("aria-label", `Clear channel ${n}`);
    disconnect.setAttribute("aria-label", `Disconnect channel ${n}`);
    for (const nm of channel.wavelengths) view.select.add(new Option(String(nm), String(nm)));

    $("form", section).addEventListener("submit", (event) => {
      event.preventDefault();
      setAttenuation(n, view);
    });
    view.input.addEventListener("input", () => refuse(view.input, view.attenuationAlert, ""));
    view.select.addEventListener("change", async () => {
      const answer = await send(`/channel/${n}/wavelength`, { nm: Number(view.select.value) }, view.channelAlert,
                                view.select);
      if (!answer) showWavelength(view, view.shown);
    });
    clear.addEventListener("click", () => send(`/channel/${n}/clear`, {}, view.channelAlert));
    disconnect.addEventListener("click", () => send(`/channel/${n}/disconnect`, {}, view.channelAlert));
    views.set(n, view);
    return section;
  }

  function showChannel(channel) {
    const view = views.get(channel.number);
    if (!view) return;
    view.shown = channel;
    const text = channel.attenuation === null ? "" : channel.attenuation.toFixed(2);
    say(view.readback, text);
    // The field follows the instrument unless someone is typing in it or it
    // holds a refused value whose message is showing.
    if (document.activeElement !== view.input && view.input.getAttribute("aria-invalid") !== "true") {
      view.input.value = text;
    }
    showWavelength(view, channel);
    say(view.mode, channel.mode === null ? "" : `work mode ${channel.mode}`);
  }

  function showWavelength(view, channel) {
    if (!channel) return;
    const value = channel.wavelength === null ? "" : String(channel.wavelength);
    let unknown = $("option.unknown", view.select);
    if (value === "" && !unknown) {
      unknown = new Option("not in the list", "");
      unknown.className = "unknown";
      view.select.add(unknown, 0);
    } else if (value !== "" && unknown) {
      unknown.remove();
    }
    view.select.value = value;
  }

  // --- changes ----------------------------------------------------------------

  function refuse(field, alert, text) {
    say(alert, text);
    if (text) field.setAttribute("aria-invalid", "true");
    else field.removeAttribute("aria-invalid");
  }

  async function send(path, body, alert, field = null) {
    const headers = { "Content-Type": "application/json" };
    if (token) headers.Authorization = `Bearer ${token}`;
    let response;
    let answer = {};
    try {
      response = await fetch(path, { method: "POST", headers, body: JSON.stringify(body), cache: "no-store" });
      answer = await response.json().catch(() => ({}));
    } catch {
      say(alert, "The panel does not answer.");
      return null;
    }
    if (!response.ok) {
      const text = answer.error ?? `Refused (HTTP ${response.status}).`;
      if (field) refuse(field, alert, text);
      else say(alert, text);
      return null;
    }
    if (field) refuse(field, alert, "");
    else say(alert, "");
    if (answer.channel) showChannel(answer.channel);
    return answer;
  }

  async function setAttenuation(n, view) {
    view.input.setAttribute("aria-busy", "true");
    try {
      await send(`/channel/${n}/attenuation`, { db: view.input.value }, view.attenuationAlert, view.input);
    } finally {
      view.input.removeAttribute("aria-busy");
    }
  }

  $("#close-display").addEventListener("click", () => send("/display/close", {}, $("#panel-alert")));
  listen();
})();
