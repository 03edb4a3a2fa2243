// The settings page's "MIDI input" card: the inputs the program can listen to, the one it listens
// to, and whether that one is connected. Choosing an input sends it to the program at once; the
// state line follows the program's "midi" events. A program without these routes leaves the card
// with the choice "None" and no state line.

const midiPorts = document.getElementById("midi-ports");
const midiState = document.getElementById("midi-state");
const midiMessage = document.getElementById("midi-message");

let midiCurrent = { port: null, connected: false };

function describeMidiState(state) {
    if (state.port === null || state.port === undefined) {
        return "No MIDI input is chosen: the program receives no hits.";
    }
    return state.connected ? `Receiving from '${state.port}'.` : `MIDI input '${state.port}' is not connected.`;
}

function showMidiCardState(state) {
    if (state) {
        midiCurrent = state;
    }
    midiState.textContent = state ? describeMidiState(state) : "";
    midiState.hidden = !state;
    // The chosen input is selected; one that is not connected stays in the list, marked so.
    const chosen = [...midiPorts.options].find((o) => o.dataset.name === midiCurrent.port);
    if (chosen) {
        midiPorts.value = chosen.value;
    } else if (midiCurrent.port) {
        const absent = new Option(`${midiCurrent.port} (not connected)`, "", true, true);
        absent.dataset.name = midiCurrent.port;
        absent.disabled = true;
        midiPorts.add(absent);
    } else {
        midiPorts.value = "none";
    }
}

async function getJson(url) {
    try {
        const response = await fetch(url);
        return response.ok ? await response.json() : null;
    } catch (error) {
        console.log(`${url}: ${error}`);
        return null;
    }
}

async function refreshMidiPorts() {
    const [ports, state] = await Promise.all([getJson("/midi/ports"), getJson("/midi/state")]);
    const options = [new Option("None", "none")];
    for (const port of Array.isArray(ports) ? ports : []) {
        const option = new Option(port.api ? `${port.name} (${port.api})` : port.name, String(port.id));
        option.dataset.name = port.name;
        options.push(option);
    }
    midiPorts.replaceChildren(...options);
    showMidiCardState(state);
}

async function chooseMidiPort() {
    midiMessage.hidden = true;
    try {
        const response = await fetch("/midi/port", { method: "POST", body: new URLSearchParams({ id: midiPorts.value }) });
        if (!response.ok) {
            const answer = await response.json().catch(() => null);
            throw new Error(answer && answer.error ? answer.error : `The program answered ${response.status}.`);
        }
    } catch (error) {
        midiMessage.textContent = `The input could not be chosen. ${error.message}`;
        midiMessage.hidden = false;
    }
    await refreshMidiPorts();
}

midiPorts.addEventListener("change", chooseMidiPort);
document.getElementById("midi-refresh").addEventListener("click", refreshMidiPorts);
// An input that comes or goes changes the list as well as the state.
ev.addEventListener("message", (e) => {
    try {
        const message = JSON.parse(e.data);
        if (message.event === "midi") {
            refreshMidiPorts();
        }
    } catch {
        // Not JSON: no news of the MIDI input.
    }
});
refreshMidiPorts();
