// An earlier form of the firmware page's logic, kept in the store for reference; no page loads
// it. Its logger routes have no counterpart on the server.

async function upload_firmware() {
    const button = document.getElementById("fw_upload_button");
    button.setAttribute("aria-busy", "true");
    const input = document.getElementById("firmware_file");
    const form = new FormData();
    form.append("firmware_file", input.files[0]);
    const response = await fetch("/firmware", { method: "POST", body: form });
    console.log(await response.json());
    button.setAttribute("aria-busy", "false");
}

const ev = new EventSource("event");
ev.onmessage = (e) => {
    const message = JSON.parse(e.data);
    document.getElementById("fsr_value").textContent = message.value;
};

async function start_fsr_logger() {
    const response = await fetch("/start_fsr_logger");
    return response.json();
}

async function stop_fsr_logger() {
    const response = await fetch("/stop_fsr_logger");
    return response.json();
}

function hide(id) {
    document.getElementById(id).style.display = "none";
}

function hide_all() {}
