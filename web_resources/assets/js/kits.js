// The kits dialog of the main page: the kit library on this computer (one settings file per kit
// and room), saved from the module, imported from a file, downloaded, renamed, its notes edited,
// deleted, and loaded through the restore's preview and apply. The header names the kit the
// module holds, as "/kit" and the "kit" events tell it.

const kitsDialog = document.getElementById("kits-modal");
const kitSaveForm = document.getElementById("kit-save-form");
const kitImportForm = document.getElementById("kit-import-form");

// A kit name that the last save found taken: saving it again replaces that kit.
let kitToReplace = null;

function showKitsMessage(text) {
    const line = document.getElementById("kits-message");
    line.textContent = text;
    line.hidden = text === "";
}

// A long name is cut short in the header (the whole of it in the label's tooltip); "(changed)" is
// always shown.
function showHeldKit(state) {
    const label = document.getElementById("kit-name");
    const name = document.createElement("span");
    name.textContent = state && state.name ? `Kit: ${state.name}` : "";
    const changed = document.createElement("span");
    changed.textContent = state && state.name && state.changed ? " (changed)" : "";
    label.replaceChildren(name, changed);
    label.title = label.textContent;
    label.hidden = label.textContent === "";
}

// Every change of a value is told while a kit is named; a burst of them (a slider's drag) reloads
// an open list once, after it.
let kitsReload = null;
function handleKitEvent(message) {
    showHeldKit(message);
    if (kitsDialog.hasAttribute("open")) {
        clearTimeout(kitsReload);
        kitsReload = setTimeout(loadKits, 300);
    }
}

async function loadHeldKit() {
    try {
        const response = await fetch("/kit");
        if (response.ok) {
            showHeldKit(await response.json());
        }
    } catch (error) {
        console.log("kit error: " + error);
    }
}

// Posts a form to a kit route; the answer's JSON, or an error whose message is the sentence to
// show (with the status, so that a taken name can be offered for replacing).
async function postKitForm(path, form) {
    let response;
    try {
        response = await fetch(path, { method: "POST", body: form });
    } catch (error) {
        throw new Error("The request failed: " + error.message);
    }
    const answer = await response.json().catch(() => null);
    if (!response.ok || !answer) {
        const failure = new Error(answer && answer.error ? String(answer.error) : `The request failed (HTTP ${response.status}).`);
        failure.status = response.status;
        throw failure;
    }
    return answer;
}

function describeModule(kit) {
    if (kit.differences === null) {
        return "module not connected";
    }
    const state = kit.differences === 0 ? "matches the module"
        : `${kit.differences} difference${kit.differences === 1 ? "" : "s"}`;
    return kit.skipped > 0 ? `${state}; ${kit.skipped} value${kit.skipped === 1 ? "" : "s"} cannot be sent` : state;
}

function kitButton(text, label, action, className = "secondary outline") {
    const button = document.createElement("button");
    button.className = className;
    button.textContent = text;
    button.setAttribute("aria-label", label);
    button.addEventListener("click", () => action(button));
    return button;
}

// The name, its key, is written once; the other texts follow each reload, but for notes under edit.
function fillKitRow(row, kit) {
    const texts = [kit.notes, kit.created ? new Date(kit.created).toLocaleString() : "", describeModule(kit)];
    texts.forEach((text, index) => {
        const cell = row.children[index + 1];
        if (cell.textContent !== text && !cell.querySelector("form")) {
            cell.textContent = text;
        }
    });
    row.children[3].className = kit.differences === 0 ? "kit-matches" : "";
}

function kitRow(kit) {
    const row = document.createElement("tr");
    row.dataset.name = kit.name;
    for (let index = 0; index < 4; ++index) {
        row.append(document.createElement("td"));
    }
    row.children[0].textContent = kit.name;
    fillKitRow(row, kit);
    const cell = document.createElement("td");
    const actions = document.createElement("div");
    actions.className = "stored-copy-actions";
    cell.append(actions);
    const download = document.createElement("a");
    download.setAttribute("role", "button");
    download.className = "secondary outline";
    download.textContent = "Download";
    download.setAttribute("aria-label", "Download " + kit.name);
    download.href = "/kits/" + encodeURIComponent(kit.name);
    download.setAttribute("download", "");
    actions.append(
        kitButton("Load", "Load " + kit.name, (button) => loadKit(kit.name, button), ""),
        download,
        kitButton("Rename", "Rename " + kit.name, () => editInCell(row.children[0], kit.name, "name")),
        kitButton("Notes", "Edit the notes of " + kit.name, () => editInCell(row.children[1], kit.name, "notes")),
        kitButton("Delete", "Delete " + kit.name, () => askDelete(kit.name, actions)));
    row.append(cell);
    return row;
}

// The list is brought up to date in place. Every change of a value reloads an open list, so a row
// rebuilt each time would drop a delete's question or a rename under way, and the button under
// the pointer with them; a row whose kit is still listed keeps its node instead.
function showKits(kits) {
    const list = document.getElementById("kits-list");
    const rows = new Map([...list.children].map((row) => [row.dataset.name, row]));
    let next = list.firstElementChild;
    for (const kit of kits) {
        let row = rows.get(kit.name);
        if (row) {
            rows.delete(kit.name);
            fillKitRow(row, kit);
        } else {
            row = kitRow(kit);
        }
        if (row === next) {
            next = next.nextElementSibling;
        } else {
            list.insertBefore(row, next);
        }
    }
    for (const gone of rows.values()) {
        gone.remove();
    }
}

// Reloads can overlap; only the newest answer is shown, and a failed read leaves the list as it was.
let kitsAsked = 0;
async function loadKits() {
    const asked = ++kitsAsked;
    let kits;
    try {
        const response = await fetch("/kits");
        if (!response.ok) {
            throw new Error(`HTTP ${response.status}`);
        }
        kits = await response.json();
    } catch (error) {
        console.log("kits error: " + error);
        return;
    }
    if (asked !== kitsAsked) {
        return;
    }
    showKits(kits);
    document.getElementById("kits-table").hidden = kits.length === 0;
    document.getElementById("kits-empty").hidden = kits.length > 0;
}

// Loading is the restore of the kit: its preview first, and nothing sent before Apply.
async function loadKit(name, button) {
    showKitsMessage("");
    const form = new FormData();
    form.append("kit", name);
    button.setAttribute("aria-busy", "true");
    try {
        const preview = await postRestore(form);
        restoreForm = form;
        document.getElementById("restore-title").textContent = `Load kit “${name}”`;
        showPreview(preview);
    } catch (error) {
        showKitsMessage(error.message);
    } finally {
        button.setAttribute("aria-busy", "false");
    }
}

// Deleting asks first, in the row itself.
function askDelete(name, actions) {
    const kept = [...actions.childNodes];
    const question = document.createElement("span");
    question.textContent = `Delete “${name}”?`;
    const keep = kitButton("Keep", "Keep " + name, () => actions.replaceChildren(...kept));
    const remove = kitButton("Delete", "Delete " + name + " now", async () => {
        try {
            await postKitForm("/kits/" + encodeURIComponent(name) + "/delete", new FormData());
        } catch (error) {
            showKitsMessage(error.message);
        }
        loadKits();
    }, "kit-delete");
    actions.replaceChildren(question, keep, remove);
    keep.focus();
}

// Renames the kit ("name") or edits its notes ("notes") in the row's cell of that text.
function editInCell(cell, name, field) {
    const form = document.createElement("form");
    form.className = "kit-rename";
    const input = document.createElement(field === "name" ? "input" : "textarea");
    input.value = field === "name" ? name : cell.textContent;
    input.maxLength = field === "name" ? 60 : 500;
    input.setAttribute("aria-label", field === "name" ? "New name of " + name : "Notes of " + name);
    const save = kitButton("Save", field === "name" ? "Save the new name" : "Save the notes", () => {}, "");
    save.type = "submit";
    form.append(input, save);
    form.addEventListener("submit", async (event) => {
        event.preventDefault();
        const fields = new FormData();
        fields.append(field, input.value.trim());
        try {
            await postKitForm(`/kits/${encodeURIComponent(name)}/${field === "name" ? "rename" : "notes"}`, fields);
            showKitsMessage("");
            cell.textContent = input.value.trim();
            loadKits();
        } catch (error) {
            showKitsMessage(error.message);
        }
    });
    cell.replaceChildren(form);
    input.select();
}

function showKitForm(form) {
    showKitsMessage("");
    kitSaveForm.hidden = form !== kitSaveForm;
    kitImportForm.hidden = form !== kitImportForm;
    // While a form is open its own buttons are the ones to press.
    document.getElementById("kits-footer").hidden = Boolean(form);
    form?.querySelector("input").focus();
}

kitSaveForm.addEventListener("submit", async (event) => {
    event.preventDefault();
    const name = document.getElementById("kit-save-name").value.trim();
    const form = new FormData();
    form.append("name", name);
    form.append("notes", document.getElementById("kit-save-notes").value.trim());
    if (kitToReplace === name) {
        form.append("replace", "1");
    }
    const submit = document.getElementById("kit-save-submit");
    submit.setAttribute("aria-busy", "true");
    try {
        await postKitForm("/kits", form);
        kitToReplace = null;
        submit.textContent = "Save";
        kitSaveForm.reset();
        showKitForm(null);
        loadKits();
    } catch (error) {
        const taken = error.status === 409;
        kitToReplace = taken ? name : null;
        submit.textContent = taken ? "Replace" : "Save";
        showKitsMessage(taken ? `${error.message} Press “Replace” to overwrite it with the current settings.` : error.message);
    } finally {
        submit.setAttribute("aria-busy", "false");
    }
});

document.getElementById("kit-save-name").addEventListener("input", () => {
    kitToReplace = null;
    document.getElementById("kit-save-submit").textContent = "Save";
});

kitImportForm.addEventListener("submit", async (event) => {
    event.preventDefault();
    const file = document.getElementById("kit-import-file").files[0];
    // The server refuses larger bodies by closing the connection while the browser still sends.
    if (file.size > 1024 * 1024) {
        showKitsMessage("The file is larger than 1 MiB: it is no Korvaline settings file.");
        return;
    }
    const form = new FormData();
    form.append("file", file);
    form.append("name", document.getElementById("kit-import-name").value.trim());
    try {
        await postKitForm("/kits/import", form);
        kitImportForm.reset();
        showKitForm(null);
        loadKits();
    } catch (error) {
        showKitsMessage(error.message);
    }
});

document.getElementById("kits-button").addEventListener("click", () => {
    showKitForm(null);
    loadKits();
    setOpen("kits-modal", true);
});
document.getElementById("kits-close").addEventListener("click", () => setOpen("kits-modal", false));
document.getElementById("kit-save-open").addEventListener("click", () => showKitForm(kitSaveForm));
document.getElementById("kit-import-open").addEventListener("click", () => showKitForm(kitImportForm));
document.getElementById("kit-save-cancel").addEventListener("click", () => showKitForm(null));
document.getElementById("kit-import-cancel").addEventListener("click", () => showKitForm(null));
// Once a restore's dialog closes, the editor and the list show what the module holds now.
document.getElementById("restore-cancel").addEventListener("click", () => {
    getConfig();
    if (kitsDialog.hasAttribute("open")) {
        loadKits();
    }
});

loadHeldKit();
