// The settings page's backup card: the module's settings as a file to download, the copies that
// the program has stored, and the restore of a file or a stored copy. A restore is asked twice
// with the same form: first without "apply", for a preview that the user reads in a dialog, then
// with "apply" = "1" once the user has accepted it.

// The form of the restore on show in the dialog, sent once more to apply it, and the sentence
// that tells how many values it changed: a copy of a pad's settings tells it its own way.
let restoreForm = null;
const restoredSentence = (applied) => `Restored ${applied} value${applied === 1 ? "" : "s"}.`;
let restoreSentence = restoredSentence;

// The restore dialog, the same on both pages but for its title and the progress bar's name, which
// each page gives on its empty dialog.
(() => {
    const dialog = document.getElementById("restore-modal");
    dialog.innerHTML = `
        <article>
            <header>
                <h2 id="restore-title"></h2>
            </header>
            <p id="restore-summary"></p>
            <div id="restore-changes" class="restore-list"></div>
            <div id="restore-skipped-part" hidden>
                <p><strong>Skipped</strong> (these values stay as they are):</p>
                <div id="restore-skipped" class="restore-list"></div>
            </div>
            <progress id="restore-progress" hidden></progress>
            <div id="restore-result" role="status"></div>
            <footer>
                <button id="restore-cancel" class="secondary" data-dismiss onclick="closeRestore()">Cancel</button>
                <button id="restore-apply" onclick="applyRestore()">Apply</button>
            </footer>
        </article>`;
    document.getElementById("restore-title").textContent = dialog.dataset.title;
    document.getElementById("restore-progress").setAttribute("aria-label", dialog.dataset.progress);
})();

function showBackupMessage(text) {
    const line = document.getElementById("backup-message");
    line.textContent = text;
    line.hidden = text === "";
}

function setRestoreStage(stage) {
    document.getElementById("restore-apply").hidden = stage === "done";
    document.getElementById("restore-apply").disabled = stage !== "preview";
    document.getElementById("restore-cancel").disabled = stage === "applying";
    document.getElementById("restore-cancel").textContent = stage === "done" ? "Close" : "Cancel";
    document.getElementById("restore-progress").hidden = stage !== "applying";
}

function showPreview(preview, sentence = restoredSentence) {
    restoreSentence = sentence;
    const changes = preview.changes || [];
    const skipped = preview.skipped || [];
    document.getElementById("restore-summary").textContent = changes.length > 0
        ? "These values will change:"
        : "The module already holds every value of this backup that can be restored.";
    document.getElementById("restore-changes").replaceChildren(...groupedByPad(changes, describeChange));
    document.getElementById("restore-skipped").replaceChildren(listItems(skipped, describeSkipped));
    document.getElementById("restore-skipped-part").hidden = skipped.length === 0;
    document.getElementById("restore-result").replaceChildren();
    setRestoreStage("preview");
    const apply = document.getElementById("restore-apply");
    apply.disabled = changes.length === 0;
    setOpen("restore-modal", true);
    (apply.disabled ? document.getElementById("restore-cancel") : apply).focus();
}

// Asks for the preview of a restore; a refusal is shown in the card.
async function previewRestore(form, button) {
    showBackupMessage("");
    button.setAttribute("aria-busy", "true");
    try {
        const preview = await postRestore(form);
        restoreForm = form;
        showPreview(preview);
    } catch (error) {
        showBackupMessage(error.message);
    } finally {
        button.setAttribute("aria-busy", "false");
    }
}

// The name that the server gave a download in its Content-Disposition header, if any.
function attachmentName(response) {
    const match = /filename="([^"]+)"/.exec(response.headers.get("Content-Disposition") || "");
    return match ? match[1] : "";
}

// The backup is fetched first, so that a module that does not answer is said on the page: a plain
// link would leave the browser with a failed download and no reason. The file is then handed to
// the browser (or the window's save dialog) under the server's name.
async function downloadBackup(event) {
    event.preventDefault();
    const link = event.currentTarget;
    showBackupMessage("");
    link.setAttribute("aria-busy", "true");
    try {
        const response = await fetch(link.href);
        if (!response.ok) {
            let answer = null;
            try {
                answer = await response.json();
            } catch (error) {
                answer = null;
            }
            showBackupMessage(answer && answer.type === "error" ? String(answer.error) : `The backup failed (HTTP ${response.status}).`);
            return;
        }
        const file = URL.createObjectURL(await response.blob());
        const save = document.createElement("a");
        save.href = file;
        save.download = attachmentName(response) || "korvaline-settings.json";
        document.body.append(save);
        save.click();
        save.remove();
        // The download holds the data once it has started; the address is not needed long.
        setTimeout(() => URL.revokeObjectURL(file), 60000);
    } catch (error) {
        showBackupMessage("The request failed: " + error.message);
    } finally {
        link.setAttribute("aria-busy", "false");
    }
}

function restoreChosenFile() {
    const file = document.getElementById("restore_file").files[0];
    if (!file) {
        showBackupMessage("Choose a backup file first.");
        return;
    }
    // The server refuses larger bodies by closing the connection while the browser still sends,
    // which the browser reports only as a failed request: say it before sending.
    if (file.size > 1024 * 1024) {
        showBackupMessage("The file is larger than 1 MiB: it is no Korvaline settings file.");
        return;
    }
    const form = new FormData();
    form.append("file", file);
    previewRestore(form, document.getElementById("restore-file-button"));
}

function restoreStoredCopy(name, button) {
    const form = new FormData();
    form.append("name", name);
    previewRestore(form, button);
}

async function applyRestore() {
    const form = new FormData();
    for (const [key, value] of restoreForm) {
        form.append(key, value);
    }
    form.append("apply", "1");
    setRestoreStage("applying");
    const result = document.getElementById("restore-result");
    try {
        const answer = await postRestore(form);
        const applied = (answer.applied || []).length;
        const failed = answer.failed || [];
        const summary = document.createElement("p");
        summary.textContent = restoreSentence(applied) + (failed.length > 0 ? " These could not be set:" : "");
        result.replaceChildren(summary, ...(failed.length > 0 ? [listItems(failed, describeChange)] : []));
    } catch (error) {
        const line = document.createElement("p");
        line.textContent = error.message;
        result.replaceChildren(line);
    }
    setRestoreStage("done");
    loadStoredCopies();
}

function closeRestore() {
    restoreForm = null;
    setOpen("restore-modal", false);
}

function formatBytes(bytes) {
    return bytes < 1024 ? bytes + " B" : (bytes / 1024).toFixed(1) + " KiB";
}

function storedCopyRow(copy) {
    const row = document.createElement("tr");
    for (const text of [copy.name, new Date(copy.created).toLocaleString(), formatBytes(copy.bytes)]) {
        const cell = document.createElement("td");
        cell.textContent = text;
        row.append(cell);
    }
    const actions = document.createElement("td");
    const restore = document.createElement("button");
    restore.className = "secondary outline";
    restore.textContent = "Restore";
    restore.setAttribute("aria-label", "Restore " + copy.name);
    restore.addEventListener("click", () => restoreStoredCopy(copy.name, restore));
    const download = document.createElement("a");
    download.setAttribute("role", "button");
    download.className = "secondary outline";
    download.textContent = "Download";
    download.setAttribute("aria-label", "Download " + copy.name);
    download.href = "/backups/" + encodeURIComponent(copy.name);
    download.setAttribute("download", "");
    actions.append(restore, download);
    actions.className = "stored-copy-actions";
    row.append(actions);
    return row;
}

async function loadStoredCopies() {
    // The main page shows the restore's dialog for kits, but lists no stored copies.
    if (!document.getElementById("stored-copies")) {
        return;
    }
    let copies = [];
    try {
        const response = await fetch("/backups");
        copies = response.ok ? await response.json() : [];
    } catch (error) {
        console.log("stored copies error: " + error);
    }
    document.getElementById("stored-copies").replaceChildren(...copies.map(storedCopyRow));
    document.getElementById("stored-copies-table").hidden = copies.length === 0;
    document.getElementById("stored-copies-empty").hidden = copies.length > 0;
}

// Sent before a firmware transfer: the name of the copy of the settings made for it, or null and
// the reason when none could be made; the transfer goes on either way.
function handleSafetyCopyEvent(message) {
    const line = document.getElementById("safety-copy-message");
    if (!line) {
        return;
    }
    line.textContent = message.name
        ? `The settings were copied to "${message.name}" before the update.`
        : `${message.error || "No copy of the settings was made."} The update goes on without a copy.`;
    line.hidden = false;
    loadStoredCopies();
}

// The main page uses this script for the restore's dialog only: it has no download button.
document.getElementById("backup-download")?.addEventListener("click", downloadBackup);
loadStoredCopies();
