// What the program knows about the module beside its settings, shared by the main page and the
// settings page: whether the settings differ from those the module has saved (the main page marks
// its save button and its title), and why a module that is plugged in cannot be opened (one more
// line in the "Cannot detect board" dialog, which then also opens at load). Both come from
// "/state" at load; afterwards the "unsaved" events keep the marker current, and every
// "disconnect" asks "/state" for the reason.

const problemTexts = {
    permission: "This user may not open the module. Installing the Korvaline package (or its udev rules, see the README) fixes this.",
    busy: "Another program holds the module's port. Close that program to use the module here.",
};

const plainTitle = document.title;

// Set by the first "unsaved" event: an event is never older than a "/state" answer that arrives
// after it, so that answer must not overwrite the marker.
let unsavedFromEvent = false;

function showUnsaved(unsaved) {
    const button = document.getElementById("save-button");
    if (!button) {
        return;
    }
    button.dataset.tooltip = unsaved ? "Unsaved changes" : "Save config";
    // The longer tooltip would run past the window's right edge below the button.
    button.dataset.placement = unsaved ? "left" : "bottom";
    button.setAttribute("aria-label", unsaved ? "Save config (unsaved changes)" : "Save config");
    button.querySelector(".unsaved-dot").hidden = !unsaved;
    document.title = unsaved ? "• " + plainTitle : plainTitle;
}

function showProblem(problem) {
    const line = document.getElementById("disconnected-problem");
    if (line) {
        line.textContent = problemTexts[problem] || "";
        line.hidden = line.textContent === "";
    }
}

function handleUnsavedEvent(message) {
    unsavedFromEvent = true;
    showUnsaved(message.value === true);
}

// The read under way, which a second caller shares: the first event stream of a program carries
// its start-up "disconnect", which would otherwise ask again while the page's own read is out.
let stateRequest = null;

function loadState() {
    if (!stateRequest) {
        stateRequest = readState().finally(() => {
            stateRequest = null;
        });
    }
    return stateRequest;
}

async function readState() {
    try {
        const response = await fetch("/state");
        if (!response.ok) {
            return;
        }
        const state = await response.json();
        showProblem(state.problem);
        // A module that is plugged in but cannot be opened is announced with "connect" like one
        // that works, and that event reloads the page: the dialog opens here, or it would never
        // say why the module does not answer.
        if (state.problem && !state.connected && !fw_upload) {
            setOpen("disconnected", true);
        }
        if (!unsavedFromEvent) {
            showUnsaved(state.unsaved === true);
        }
    } catch (error) {
        console.log("state error: " + error);
    }
}

loadState();
