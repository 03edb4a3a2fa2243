// The application's live events, shared by the main page and the settings page: the module's
// connect and disconnect, the firmware upload's progress, the noise logger's readings, and the
// settings' unsaved state and safety copy (module-state.js and backup.js handle those).

// True from the first firmware upload event to "firmware_upload_end". The bootloader drops and
// re-enumerates the module during a transfer, and those connects and disconnects must neither
// open the "Cannot detect board" dialog nor reload the page in the middle of the upload. The last
// of them is news once the transfer has ended, whether the module came back before its end (as it
// does, the transfer's last steps taking longer) or after it: the editor shows the settings the
// updated module holds, which the update may have changed.
let fw_upload = false;
let moduleNewsDuringUpload = null;

const ev = new EventSource("event");

function setOpen(id, open) {
    const dialog = document.getElementById(id);
    if (!dialog) {
        return;
    }
    if (open) {
        dialog.setAttribute("open", "");
    } else {
        dialog.removeAttribute("open");
    }
}

// Escape closes the topmost dialog, as it closes a native one, by a click on the dialog's own
// closing button (marked data-dismiss), so that closing does what it means there: stop a
// measurement, forget a restore. While that button is disabled or hidden (a restore being
// applied) Escape does nothing. The dialogs that report the module's state have no such button.
document.addEventListener("keydown", (event) => {
    if (event.key !== "Escape") {
        return;
    }
    const dismissable = [...document.querySelectorAll("dialog[open]")].filter((d) => d.querySelector("[data-dismiss]"));
    const button = dismissable.at(-1)?.querySelector("[data-dismiss]");
    if (button && !button.disabled && !button.hidden) {
        event.preventDefault();
        button.click();
    }
});

function handleUploadEvent(message) {
    fw_upload = true;
    const progress = document.getElementById("firmware-progress");
    if (progress && "value" in message) {
        progress.value = message.value;
    }
    if (message.event === "firmware_upload_begin") {
        console.log("open firmware modal");
        showFirmwareMessage("");
        // The safety copy of this transfer is reported after its begin; an earlier one's is stale.
        const safetyCopy = document.getElementById("safety-copy-message");
        if (safetyCopy) {
            safetyCopy.hidden = true;
        }
        setOpen("firmware-modal", true);
    } else if (message.event === "firmware_upload_error") {
        // A failed transfer says why before it ends; the card keeps the sentence after the dialog
        // has closed, so the user learns that the module was not updated.
        showFirmwareMessage(String(message.error));
    } else if (message.event === "firmware_upload_end") {
        console.log("close firmware modal");
        fw_upload = false;
        setOpen("firmware-modal", false);
        if (moduleNewsDuringUpload) {
            handleModuleNews(moduleNewsDuringUpload);
            moduleNewsDuringUpload = null;
        }
    }
}

// "connect" or "disconnect" outside a transfer.
function handleModuleNews(event) {
    setOpen("disconnected", event === "disconnect");
    if (event === "disconnect") {
        loadStateAfterDisconnect();
    }
    // The main page reloads with its address, which names the chosen pad.
    if (event === "connect") {
        if (location.pathname === "/") {
            location.reload();
        } else {
            location.href = "/";
        }
    }
}

// The firmware card's message line exists only on the settings page.
function showFirmwareMessage(text) {
    const line = document.getElementById("firmware-message");
    if (line) {
        line.textContent = text;
        line.hidden = text === "";
    }
}

ev.onmessage = (e) => {
    try {
        const message = JSON.parse(e.data);
        if ("event" in message) {
            if (String(message.event).startsWith("firmware_upload_")) {
                handleUploadEvent(message);
                return;
            }
            // The settings' own events are no news of the module: they leave the dialogs alone,
            // and their "value" is not a noise reading.
            if (message.event === "unsaved") {
                handleUnsavedEvent(message);
                return;
            }
            if (message.event === "kit") {
                if (typeof handleKitEvent === "function") {
                    handleKitEvent(message);
                }
                return;
            }
            if (message.event === "safety_copy") {
                if (typeof handleSafetyCopyEvent === "function") {
                    handleSafetyCopyEvent(message);
                }
                return;
            }
            // The MIDI news (the hits, the hi-hat pedal, the input's state) says nothing about the
            // module either, and a pedal's "value" is no noise reading; hits.js and midi-input.js
            // take these events from this stream themselves.
            if (message.event === "hit" || message.event === "pedal" || message.event === "midi") {
                return;
            }
            if (!fw_upload) {
                handleModuleNews(message.event);
            } else if (message.event === "connect" || message.event === "disconnect") {
                moduleNewsDuringUpload = message.event;
            }
        }
        if ("value" in message && typeof triggerThreshold !== "undefined") {
            triggerThreshold.value = message.value;
        }
        if ("curve" in message && typeof parameters !== "undefined") {
            parameters.setLiveCurve(normalizeArrayToMax(JSON.parse(message.curve), 300));
        }
    } catch (error) {
        console.log("event error: " + error);
    }
};
