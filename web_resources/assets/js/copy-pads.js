// "Copy to other pads…": the chosen pad's settings for the pads ticked, as a restore. The page
// builds a settings file of the module's values now with the copied ones in place and sends it
// through the restore's preview, so that every change is shown first and Apply sends it in the
// restore's order. The hi-hat controller has settings of another kind and takes no part.

const copyDialog = document.getElementById("copy-modal");
const copyButton = document.getElementById("copy-pads-button");
const copyPads = [...sensorsSelect.options].map((option) => option.value).filter((pad) => pad !== "hhc");

function showCopyMessage(text) {
    const line = document.getElementById("copy-message");
    line.textContent = text;
    line.hidden = text === "";
}

function ticked(fieldset) {
    return [...document.querySelectorAll(`#${fieldset} input:checked`)].map((input) => input.name);
}

function openCopy() {
    const source = sensorsSelect.value;
    if (source === "hhc") {
        return;
    }
    document.getElementById("copy-title").textContent = `Copy ${padName(source)}'s settings to other pads`;
    const targets = document.getElementById("copy-targets");
    targets.replaceChildren(targets.querySelector("legend"), ...copyPads.filter((pad) => pad !== source).map((pad) => {
        const label = document.createElement("label");
        const box = document.createElement("input");
        box.type = "checkbox";
        box.name = pad;
        label.append(box, " " + padName(pad));
        return label;
    }));
    showCopyMessage("");
    setOpen("copy-modal", true);
    targets.querySelector("input").focus();
}

// The module's settings now, with the chosen settings of the source pad in each target pad.
function copiedSettings(current, source, targets, params) {
    const settings = structuredClone(current);
    for (const target of targets) {
        for (const param of params) {
            if (current[source] && param in current[source]) {
                settings[target][param] = current[source][param];
            }
        }
    }
    return settings;
}

async function previewCopy() {
    const source = sensorsSelect.value;
    const targets = ticked("copy-targets");
    const params = ticked("copy-params");
    if (targets.length === 0 || params.length === 0) {
        showCopyMessage("Tick at least one pad and one setting.");
        return;
    }
    const button = document.getElementById("copy-preview");
    button.setAttribute("aria-busy", "true");
    try {
        const current = await readSettings((answer) => holdsValuesOf(answer, source));
        if (!current) {
            throw new Error("The module's settings could not be read. Is the module connected?");
        }
        const file = { format: "korvaline-settings", version: 1, settings: copiedSettings(current, source, targets, params) };
        const form = new FormData();
        form.append("file", new Blob([JSON.stringify(file)], { type: "application/json" }), "copy.json");
        const preview = await postRestore(form);
        restoreForm = form;
        setOpen("copy-modal", false);
        document.getElementById("restore-title").textContent = `Copy ${padName(source)}'s settings`;
        const names = targets.map(padName);
        const to = names.length > 1 ? `${names.slice(0, -1).join(", ")} and ${names.at(-1)}` : names[0];
        showPreview(preview, (applied) => `Copied ${applied} value${applied === 1 ? "" : "s"} to ${to}.`);
    } catch (error) {
        showCopyMessage(error.message);
    } finally {
        button.setAttribute("aria-busy", "false");
    }
}

copyButton.addEventListener("click", openCopy);
document.getElementById("copy-cancel").addEventListener("click", () => setOpen("copy-modal", false));
document.getElementById("copy-preview").addEventListener("click", previewCopy);
// The page may open on the hi-hat controller (its address names the pad).
const allowCopy = () => (copyButton.disabled = sensorsSelect.value === "hhc");
sensorsSelect.addEventListener("change", allowCopy);
allowCopy();
