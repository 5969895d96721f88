// Control page of the encoder: reads the server's configuration, edits the 2x2
// layout and the stream settings, starts and stops the stream, and shows what
// the stream itself reports once a second (GET /api/stream/stats): its state,
// why it ended, the SRT link, each input, the master's audio and the events.
// Everything talks to the server that served this page.
//
// This module holds the page's own facts and its timers, and wires the
// others together: js/api.mjs (the requests), js/settings.mjs (what the
// browser keeps), js/form.mjs (the choices and the start request),
// js/view.mjs (what to show, worked out without the page), js/render.mjs and
// js/preview.mjs (the page itself).
import * as api from './js/api.mjs';
import { explainRefusal, reportContext } from './js/explain.mjs';
import { StreamForm } from './js/form.mjs';
import { Preview } from './js/preview.mjs';
import { Renderer } from './js/render.mjs';
import { durationText, sizeText } from './js/format.mjs';
import { addNote, loadChoices, loadNotes, saveChoices } from './js/settings.mjs';
import {
	isRunning, linkSeenUpAt, logLines, nextSamples, NO_TRANSITION, READ_INTERVAL_MS, readIntervalMs, runTransition, serverState, viewState,
} from './js/view.mjs';

const CONFIG_RETRY_MS = 3000;

const state = {
	config: null,
	// The latest answer of GET /api/stream/stats, or null while the server
	// cannot be asked; statsAt: when the last one came.
	stats: null,
	statsAt: null,
	// The last answer the server gave, kept while it cannot be asked.
	lastStats: null,
	// When the SRT link of the run was last seen up (null: not yet).
	linkUpAt: null,
	serverReachable: null,
	// 'start' or 'stop' while such a request is on its way, else null
	busy: null,
	// counts finished start and stop requests, so that a statistics answer
	// that was sent before one of them is not taken for the newer state
	actionCount: 0,
	// 'start' or 'stop' after such a request succeeded, until a statistics
	// answer sent after it arrives
	pending: null,
	// this page started the running stream, or stopped the last one
	startedHere: false,
	stoppedHere: false,
	// what the page shows: the state's key and the end whose reason is shown
	shown: { key: null, exit: null },
	// the receiver of the current or last stream, as host:port
	peer: '',
	// whether the last answer the server gave said that a worker runs
	lastKnownRunning: false,
	// this page's own lines for the activity log
	notes: loadNotes(),
	// the server's events last received, kept while the server cannot be asked
	lastEvents: [],
	// the sent bitrate of the last minute
	samples: [],
};

const form = new StreamForm(document, {
	onChange: () => {
		saveFormChoices();
		refresh();
	},
	onAddressTakenApart: (filled) => render.showMessage({
		kind: 'info',
		headline: 'The pasted SRT address was taken apart into its fields.',
		detail: `Filled in: ${filled.join(', ')}. The encoder always calls the receiver (SRT caller).`,
	}),
});
const render = new Renderer(document, form.quadrants);
const preview = new Preview(document, () => isRunning(state.stats));

function saveFormChoices() {
	const choices = form.choices();
	if (choices)
		saveChoices(choices);
}

// Shows what the page knows now. transition: what a statistics answer just changed.
function refresh(transition = NO_TRANSITION) {
	const view = viewState({
		now: Date.now(),
		config: state.config,
		stats: state.stats,
		lastStats: state.lastStats,
		statsAt: state.statsAt,
		page: {
			busy: state.busy,
			pending: state.pending,
			stoppedHere: state.stoppedHere,
			peer: state.peer,
			serverReachable: state.serverReachable,
			samples: state.samples,
			linkUpAt: state.linkUpAt,
			startProblem: form.startProblem(),
		},
		shown: { ...state.shown, message: render.messageKind() },
		transition,
	});
	state.shown = { key: view.tally.key, exit: view.message.exit };
	render.view(view);
	const run = isRunning(state.stats) && state.config ? state.stats.run : null;
	form.markNotOnAir(run && run.settings && typeof run.settings === 'object' ? run.settings : null);
	preview.follow(view.preview.running, view.preview.old);
}

// ---- Activity log ---------------------------------------------------------

function renderLog() {
	if (state.stats && Array.isArray(state.stats.events))
		state.lastEvents = state.stats.events;
	const encoding = state.config && state.config.encoding;
	const codecs = encoding && Array.isArray(encoding.codecs) ? encoding.codecs : [];
	render.log(logLines(state.lastEvents, state.notes, reportContext(state.stats || {}, { peer: state.peer, codecs })));
}

// A line of this page's own (a request refused, the server unreachable),
// shown beside the server's events.
function note(message, level = 'info') {
	state.notes = addNote(state.notes, { at: new Date().toISOString(), level, message });
	renderLog();
}

// ---- Configuration ----------------------------------------------------

function applyConfig(config) {
	state.config = config;
	render.product(config);
	form.setConfig(config, loadChoices());
	refresh();
	if (isRunning(state.stats) && !state.startedHere)
		showRunningSettings();
}

async function loadConfig() {
	const answer = await api.readConfig();
	if (answer.ok) {
		applyConfig(answer.body);
		if (render.messageKind() === 'config')
			render.clearMessage();
		return;
	}
	render.showMessage({
		kind: 'error',
		headline: 'The encoder\'s settings could not be read.',
		detail: `The page cannot offer inputs yet: ${answer.reason}.`,
		hint: 'Retrying…',
		what: 'config',
	});
	setTimeout(loadConfig, CONFIG_RETRY_MS);
}

// A stream this page did not start: the form shows the settings on air, as
// the server keeps them for the run.
function showRunningSettings() {
	const run = state.stats && state.stats.run;
	// Without them the form keeps this browser's choices; the statistics poll reports the server.
	if (!isRunning(state.stats) || !run || !run.settings || typeof run.settings !== 'object')
		return;
	const peer = form.showRunning(run.settings);
	if (peer !== null)
		state.peer = peer;
	note('A stream is running: the form shows its settings');
}

// ---- Start and stop ------------------------------------------------------

async function startStream() {
	if (!state.config || state.busy || isRunning(state.stats))
		return;
	render.clearMessage();
	const built = form.buildStartRequest();
	if (built.problem) {
		render.showMessage({ kind: 'error', headline: 'The stream was not started.', detail: built.problem });
		render.markField(built.element);
		return;
	}
	if (built.shared.length > 0) {
		const go = await render.confirm({
			title: 'Use one input in two quadrants?',
			text: `${built.shared.join('; ')}. The same picture then appears more than once in the program.`,
			cancel: 'Change the layout',
			accept: 'Start anyway',
			kind: 'go',
		});
		if (!go || state.busy || isRunning(state.stats))
			return;
	}
	const start = built.request;
	form.showSent(start);
	state.busy = 'start';
	state.stoppedHere = false;
	refresh();
	try {
		const answer = await api.startStream(start);
		if (answer.ok) {
			state.startedHere = true;
			state.pending = 'start';
			state.peer = start.srtHostPort;
			note(`Start sent: ${start.quadrants.length} of 4 quadrants ${start.srtMode === 'listener' ? `listening on ${start.srtHostPort} for up to ${start.srtMaxCallers} receivers` : `to ${start.srtHostPort}`}${start.srtReconnect ? ', reconnecting automatically' : ''}`);
		} else if (answer.reached) {
			const refusal = explainRefusal(answer, start);
			render.showMessage({ kind: 'error', headline: 'The stream was not started.', detail: refusal.words,
				technical: `The server answered: ${answer.reason}` });
			render.markField(refusal.element);
			note(`Start refused: ${answer.reason}`, 'error');
		} else {
			render.showMessage({ kind: 'error', headline: 'The stream was not started.', detail: `The start request failed: ${answer.reason}.` });
			note(`Start request failed: ${answer.reason}`, 'error');
		}
	} finally {
		state.busy = null;
		state.actionCount++;
		refresh();
	}
}

async function askToStop() {
	if (state.busy || !isRunning(state.stats))
		return;
	const destination = state.peer ? `The receiver at ${state.peer}` : 'The receiver';
	const stop = await render.confirm({
		title: 'End the stream?',
		text: `${destination} stops getting pictures and sound.`,
		cancel: 'Keep streaming',
		accept: 'End stream',
		kind: 'stop',
	});
	if (stop)
		stopStream();
}

async function stopStream() {
	if (state.busy)
		return;
	render.clearMessage();
	state.busy = 'stop';
	refresh();
	try {
		const answer = await api.stopStream();
		if (answer.ok && !answer.wasRunning) {
			render.showMessage({ kind: 'info', headline: 'The encoder was not running.', detail: answer.message });
		} else if (answer.ok) {
			state.stoppedHere = true;
			state.pending = 'stop';
			note('Stop sent');
		} else if (answer.reached) {
			render.showMessage({ kind: 'error', headline: 'The stream could not be stopped.',
				detail: 'The server could not end the media worker.', technical: answer.reason });
			note(`Stop failed: ${answer.reason}`, 'error');
		} else {
			render.showMessage({ kind: 'error', headline: 'The stream could not be stopped.', detail: `The stop request failed: ${answer.reason}.` });
			note(`Stop request failed: ${answer.reason}`, 'error');
		}
	} finally {
		state.busy = null;
		state.actionCount++;
		refresh();
	}
}

// ---- What the stream reports ------------------------------------------------

function applyStats(stats) {
	const now = Date.now();
	const transition = runTransition(state.stats, stats, state.lastKnownRunning);
	state.stats = stats;
	if (stats) {
		state.statsAt = now;
		state.lastStats = stats;
	}
	state.linkUpAt = linkSeenUpAt(state.linkUpAt, stats, now, transition);
	// A run that replaced another between two answers ends that one first.
	if (transition.ended) {
		state.startedHere = false;
		render.closeDialog();
		form.stopShowingRunning();
	}
	if (transition.began) {
		state.samples = [];
		state.stoppedHere = false;
		if (state.config && !state.startedHere)
			showRunningSettings();
	}
	if (stats && stats.srt && typeof stats.srt.peer === 'string' && stats.srt.peer)
		state.peer = stats.srt.peer;
	if (stats)
		state.samples = nextSamples(state.samples, stats, now);
	refresh(transition);
	if (transition.serverRestarted)
		note('The server was restarted: the stream has ended', 'warning');
	if (stats)
		state.lastKnownRunning = stats.running;
	renderLog();
}

function setServerReachable(reachable) {
	if (state.serverReachable === reachable)
		return;
	const before = state.serverReachable;
	state.serverReachable = reachable;
	render.server(serverState(reachable, state.statsAt));
	if (reachable && before === false)
		note('Server reachable again', 'good');
	else if (!reachable)
		note('Server unreachable', 'error');
}

async function pollStats() {
	const countAtSend = state.actionCount;
	let answer = null;
	try {
		answer = await api.readStats();
		setServerReachable(answer.ok);
		if (!state.busy && countAtSend === state.actionCount) {
			state.pending = null;
			applyStats(answer.ok ? answer.body : null);
		}
	} finally {
		setTimeout(pollStats, readIntervalMs(answer && answer.ok ? answer.body : null));
	}
}

// A server that asks for no login says so on the page, loudly; one that
// does sends a page without a session to the login, and shows who is
// logged in. A viewer gets no Start or Stop.
function toLogin() {
	window.location.replace('/login.html');
}

async function loadSession() {
	const answer = await api.readSession();
	if (!answer.ok)
		return true;
	const session = answer.body;
	document.getElementById('access-off').hidden = session.access;
	if (!session.access)
		return true;
	if (!session.user) {
		toLogin();
		return false;
	}
	api.useSession(session, toLogin);
	document.getElementById('user-name').textContent = `${session.user.name} (${session.user.role})`;
	document.getElementById('user-box').hidden = false;
	if (session.user.role === 'viewer') {
		document.querySelector('.transport').style.display = 'none';
		mayDelete = false;
	}
	return true;
}

async function logOut() {
	await api.logOut();
	toLogin();
}

// ---- Recordings --------------------------------------------------------------

const RECORDINGS_INTERVAL_MS = 10000;
let mayDelete = true;

function showRecordings(recordings) {
	const list = document.getElementById('recordings-list');
	list.replaceChildren();
	for (const recording of recordings) {
		const row = document.createElement('tr');
		const link = document.createElement('a');
		link.href = `/api/recordings/${encodeURIComponent(recording.name)}`;
		link.download = recording.name;
		link.textContent = recording.name;
		const cells = [link, sizeText(recording.sizeBytes), recording.start.replace('T', ' ').replace('Z', ' UTC'),
			durationText(Math.round(recording.durationSeconds))];
		for (const content of cells) {
			const cell = document.createElement('td');
			cell.append(content);
			row.append(cell);
		}
		const actions = document.createElement('td');
		if (mayDelete) {
			const remove = document.createElement('button');
			remove.type = 'button';
			remove.className = 'recording-delete';
			remove.textContent = 'Delete';
			remove.addEventListener('click', () => deleteRecording(recording.name));
			actions.append(remove);
		}
		row.append(actions);
		list.append(row);
	}
	document.getElementById('recordings-table').hidden = recordings.length === 0;
	document.getElementById('recordings-empty').hidden = recordings.length !== 0;
}

async function loadRecordings() {
	const answer = await api.readRecordings();
	if (answer.ok)
		showRecordings(answer.body.recordings);
}

async function deleteRecording(name) {
	const go = await render.confirm({
		title: 'Delete this recording?',
		text: `${name} is removed from the encoder's disk for good.`,
		cancel: 'Keep it',
		accept: 'Delete',
		kind: 'stop',
	});
	if (!go)
		return;
	const answer = await api.deleteRecording(name);
	note(answer.ok ? `Recording deleted: ${name}` : `Recording not deleted: ${answer.reason}`, answer.ok ? 'info' : 'error');
	loadRecordings();
}

async function pollRecordings() {
	try {
		await loadRecordings();
	} finally {
		setTimeout(pollRecordings, RECORDINGS_INTERVAL_MS);
	}
}

// ---- Wiring ------------------------------------------------------------------

document.getElementById('logout-button').addEventListener('click', logOut);
document.getElementById('start-button').addEventListener('click', startStream);
document.getElementById('stop-button').addEventListener('click', askToStop);
// The reason beside Start leads to the field to correct.
document.getElementById('start-reason').addEventListener('click', (event) => form.revealProblem(event.currentTarget.dataset.field));
refresh();
renderLog();
if (await loadSession()) {
	loadConfig();
	pollStats();
	pollRecordings();
}
// The figures' ages and the lost contact show even while an answer is overdue.
setInterval(() => refresh(), READ_INTERVAL_MS);
