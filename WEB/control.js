// Control page of the encoder: reads the server's configuration, edits the 2x2
// layout and the stream settings, starts and stops the stream, and shows what
// the stream itself reports once a second (GET /api/stream/stats): its state,
// why it ended, the SRT link, each input, the master's audio and the events.
// Everything talks to the server that served this page.
'use strict';

(() => {
	const STATS_INTERVAL_MS = 1000;
	const PREVIEW_INTERVAL_MS = 1000;
	const CONFIG_RETRY_MS = 3000;
	const REQUEST_TIMEOUT_MS = 4000;
	// A stop waits for the worker to hand on what it holds (up to 2 s, more on a busy machine).
	const ACTION_TIMEOUT_MS = 20000;
	const STORAGE_KEY = 'tiloran.control.settings';
	// This page's own notes for the activity log; they outlive a reload of the tab.
	const NOTES_KEY = 'tiloran.control.notes';
	const NOTES_LIMIT = 50;
	const LOG_LIMIT = 100;
	const DEFAULT_LATENCY_MS = 120;
	const SPARKLINE_SECONDS = 60;
	const METER_FLOOR_DBFS = -60;
	// What the level meter shows as silence: the worker's reading of a silent second.
	const SILENCE_DBFS = -120;
	const SOFTWARE_CODEC = 'libx264';
	const HARDWARE_ENCODERS = { h264_qsv: 'Intel hardware encoder', h264_nvenc: 'NVIDIA hardware encoder' };
	const POSITIONS = ['Top left', 'Top right', 'Bottom left', 'Bottom right'];
	const PRODUCT = 'TILORAN';

	const $ = (id) => document.getElementById(id);
	const elements = {
		title: $('product-title'),
		version: $('product-version'),
		health: $('server-health'),
		healthText: $('server-health-text'),
		tally: $('stream-state'),
		tallyText: $('stream-state-text'),
		tallyDetail: $('stream-state-detail'),
		previewFrame: $('preview-frame'),
		previewImage: $('preview-image'),
		previewPlaceholder: $('preview-placeholder'),
		previewBadge: $('preview-badge'),
		previewInfo: $('preview-info'),
		healthPanel: $('health-panel'),
		healthNote: $('health-note'),
		bitrate: $('figure-bitrate'),
		sparkline: document.querySelector('#bitrate-sparkline polyline'),
		rtt: $('figure-rtt'),
		lost: $('figure-lost'),
		retransmitted: $('figure-retransmitted'),
		latencyFigure: $('figure-latency'),
		reconnects: $('figure-reconnects'),
		uptime: $('figure-uptime'),
		meters: [
			{ meter: $('meter-left'), values: $('meter-left-values'), name: 'Left' },
			{ meter: $('meter-right'), values: $('meter-right-values'), name: 'Right' },
		],
		layoutFieldset: $('layout-fieldset'),
		audioSource: $('audio-source'),
		settingsForm: $('settings-form'),
		layoutForm: $('layout-form'),
		encodingFieldset: $('encoding-fieldset'),
		srtFieldset: $('srt-fieldset'),
		videoBitrate: $('video-bitrate'),
		audioBitrate: $('audio-bitrate'),
		audioChannels: $('audio-channels'),
		audioChannelsHint: $('audio-channels-hint'),
		metersChannels: $('meters-channels'),
		codec: $('codec'),
		hostPort: $('srt-host-port'),
		streamId: $('srt-stream-id'),
		latency: $('srt-latency'),
		passphrase: $('srt-passphrase'),
		passphraseToggle: $('passphrase-toggle'),
		reconnect: $('srt-reconnect'),
		startButton: $('start-button'),
		stopButton: $('stop-button'),
		message: $('message'),
		messageHeadline: $('message-headline'),
		messageDetail: $('message-detail'),
		messageHint: $('message-hint'),
		messageTechnical: $('message-technical'),
		messageTechnicalText: $('message-technical-text'),
		activity: $('activity-log'),
		dialog: $('confirm-dialog'),
		dialogTitle: $('confirm-title'),
		dialogText: $('confirm-text'),
		dialogCancel: $('confirm-cancel'),
		dialogAccept: $('confirm-accept'),
	};

	const state = {
		config: null,
		// The codec table with the software encoder first.
		codecs: [],
		// The latest answer of GET /api/stream/stats, or null while the server cannot be asked.
		stats: null,
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
		// the state shown, and the end whose reason is shown
		view: null,
		shownExit: null,
		// the receiver of the current or last stream, as host:port
		peer: '',
		// whether the last answer the server gave said that a worker runs
		lastKnownRunning: false,
		// audio source of a running stream that another client started, whose
		// quadrants may be listed in any order; null when the form decides
		runningMasterSlot: null,
		// the channels of a running stream that another client started, as
		// [left, right]; null when the form decides
		runningAudioChannels: null,
		// the pair of channels chosen for each master input, by input id
		// (pair 1 is channels 1 and 2)
		audioPairs: {},
		quadrants: [],
		notes: [],
		// the server's events last received, kept while the server cannot be asked
		lastEvents: [],
		logSignature: '',
		bitrateSamples: [],
		runStartedAt: null,
		previewTimer: null,
		previewUrl: null,
		hasPicture: false,
	};

	// ---- Server requests --------------------------------------------------

	async function request(path, options = {}, timeoutMs = REQUEST_TIMEOUT_MS) {
		const controller = new AbortController();
		const timer = setTimeout(() => controller.abort(), timeoutMs);
		try {
			return await fetch(path, { cache: 'no-store', ...options, signal: controller.signal });
		} finally {
			clearTimeout(timer);
		}
	}

	// Returns { status, body, text, response }; body is null when the answer is not JSON.
	async function requestJson(path, options = {}, timeoutMs = REQUEST_TIMEOUT_MS) {
		const response = await request(path, options, timeoutMs);
		const text = await response.text();
		let body = null;
		try {
			body = text ? JSON.parse(text) : null;
		} catch (error) {
			body = null;
		}
		return { status: response.status, body, text, response };
	}

	function describeFailure(answer) {
		if (answer.body && typeof answer.body.error === 'string')
			return answer.body.error;
		const detail = answer.response.headers.get('EXCEPTION_WHAT');
		if (detail)
			return `HTTP ${answer.status}: ${detail}`;
		return answer.text ? `HTTP ${answer.status}: ${answer.text}` : `HTTP ${answer.status}`;
	}

	function describeNetworkError(error) {
		if (error && error.name === 'AbortError')
			return 'the server did not answer in time';
		return 'the server cannot be reached';
	}

	// ---- Activity log ---------------------------------------------------------

	function timeOfDay(date = new Date()) {
		return date.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false });
	}

	function loadNotes() {
		try {
			const stored = JSON.parse(sessionStorage.getItem(NOTES_KEY) || '[]');
			state.notes = Array.isArray(stored) ? stored.filter((note) => note && typeof note.message === 'string') : [];
		} catch (error) {
			state.notes = [];
		}
	}

	// A line of this page's own (a request refused, the server unreachable),
	// shown beside the server's events.
	function note(message, level = 'info') {
		state.notes.push({ at: new Date().toISOString(), level, message });
		state.notes.splice(0, Math.max(0, state.notes.length - NOTES_LIMIT));
		try {
			sessionStorage.setItem(NOTES_KEY, JSON.stringify(state.notes));
		} catch (error) {
			// A browser without storage keeps the notes until a reload.
		}
		renderLog();
	}

	function renderLog() {
		if (state.stats && Array.isArray(state.stats.events))
			state.lastEvents = state.stats.events;
		const events = state.lastEvents;
		const lines = [
			...events.map((event) => ({ ...event, origin: 'server' })),
			...state.notes.map((entry) => ({ ...entry, origin: 'page' })),
		].filter((line) => typeof line.at === 'string' && typeof line.message === 'string');
		// Oldest first, then turned: the newest line comes first.
		lines.sort((a, b) => (a.at < b.at ? -1 : a.at > b.at ? 1 : 0));
		const shown = lines.slice(-LOG_LIMIT).reverse();
		const signature = shown.map((line) => line.at + line.origin + line.message).join('\n');
		if (signature === state.logSignature)
			return;
		state.logSignature = signature;
		const items = shown.map((line) => {
			const item = document.createElement('li');
			item.dataset.kind = line.level;
			item.dataset.origin = line.origin;
			const time = document.createElement('time');
			time.dateTime = line.at;
			const date = new Date(line.at);
			time.textContent = Number.isNaN(date.getTime()) ? '--:--:--' : timeOfDay(date);
			const origin = document.createElement('span');
			origin.className = 'activity-origin';
			origin.textContent = line.origin === 'page' ? 'Page' : 'Server';
			const words = document.createElement('span');
			words.textContent = line.message;
			item.append(time, origin, words);
			return item;
		});
		elements.activity.replaceChildren(...items);
	}

	// ---- Messages ------------------------------------------------------------

	function clearFieldMarks() {
		for (const marked of document.querySelectorAll('[aria-invalid="true"]'))
			marked.removeAttribute('aria-invalid');
	}

	// kind: error, warning or info; what: the kind of message, so that a later
	// state only replaces the message it put up itself.
	function showMessage(kind, headline, detail = '', hint = '', technical = '', what = 'action') {
		const box = elements.message;
		box.dataset.kind = kind;
		box.dataset.what = what;
		elements.messageHeadline.textContent = headline;
		elements.messageDetail.textContent = detail;
		elements.messageHint.textContent = hint;
		elements.messageTechnicalText.textContent = technical;
		elements.messageTechnical.hidden = !technical;
		elements.messageTechnical.open = false;
		box.hidden = false;
	}

	function clearMessage() {
		elements.message.hidden = true;
		elements.message.dataset.what = '';
		clearFieldMarks();
	}

	function markField(id) {
		const field = $(id);
		if (!field)
			return;
		field.setAttribute('aria-invalid', 'true');
		if (!field.disabled)
			field.focus();
	}

	// ---- Configuration ----------------------------------------------------

	function splitTitle(title) {
		const match = /^(.*?)\s*\(([^()]*)\)\s*$/.exec(title);
		return match ? { name: match[1], version: match[2] } : { name: title, version: '' };
	}

	function fillOptions(select, entries, label) {
		select.replaceChildren();
		entries.forEach((entry, index) => {
			const option = document.createElement('option');
			option.value = String(index);
			option.textContent = label(entry);
			select.append(option);
		});
	}

	function selectByValue(select, entries, value) {
		const index = entries.findIndex((entry) => entry.value === value);
		if (index >= 0)
			select.value = String(index);
	}

	function buildQuadrants() {
		const template = $('quadrant-template');
		for (let slot = 0; slot < 4; slot++) {
			const id = slot + 1;
			const cell = template.content.firstElementChild.cloneNode(true);
			cell.dataset.slot = String(slot);
			cell.querySelector('.quadrant-number').textContent = `Q${id}`;
			cell.querySelector('.quadrant-position').textContent = POSITIONS[slot];
			const source = cell.querySelector('[data-role="source"]');
			const name = cell.querySelector('[data-role="name"]');
			const signal = cell.querySelector('[data-role="signal"]');
			source.id = `quadrant-${id}-source`;
			name.id = `quadrant-${id}-name`;
			signal.id = `quadrant-${id}-signal`;
			name.placeholder = `Quadrant ${id}`;
			cell.querySelector('[data-for="source"]').htmlFor = source.id;
			cell.querySelector('[data-for="name"]').htmlFor = name.id;
			source.setAttribute('aria-label', `Input of quadrant ${id}, ${POSITIONS[slot].toLowerCase()}`);
			source.setAttribute('aria-describedby', signal.id);
			name.setAttribute('aria-label', `Name of quadrant ${id}`);
			elements.layoutFieldset.append(cell);
			const label = document.querySelector(`.tile-labels span[data-slot="${slot}"]`);
			state.quadrants.push({
				cell, source, name, signal,
				badge: cell.querySelector('.audio-badge'),
				tileName: label.querySelector('b'),
				tileSignal: label.querySelector('i'),
				tile: label,
			});
		}
	}

	function deviceLabel(device) {
		return device.status && device.status !== 'available' ? `${device.name} (${device.status})` : device.name;
	}

	// The software encoder first: it works on every machine, so a first start does.
	function orderCodecs(codecs) {
		return [...codecs].sort((a, b) => (a.value === SOFTWARE_CODEC ? -1 : 0) - (b.value === SOFTWARE_CODEC ? -1 : 0));
	}

	function applyConfig(config) {
		state.config = config;
		const { name, version } = splitTitle(config.project && config.project.title ? config.project.title : '');
		if (name)
			elements.title.textContent = name;
		elements.version.textContent = version;
		elements.version.hidden = !version;

		const devices = Array.isArray(config.devices) ? config.devices : [];
		for (const quadrant of state.quadrants) {
			quadrant.source.replaceChildren();
			const empty = document.createElement('option');
			empty.value = '';
			empty.textContent = 'Empty';
			quadrant.source.append(empty);
			for (const device of devices) {
				const option = document.createElement('option');
				option.value = device.id;
				option.textContent = deviceLabel(device);
				quadrant.source.append(option);
			}
		}

		const encoding = config.encoding || {};
		state.codecs = orderCodecs(Array.isArray(encoding.codecs) ? encoding.codecs : []);
		fillOptions(elements.videoBitrate, encoding.videoBitrates || [], (entry) => entry.title);
		fillOptions(elements.audioBitrate, encoding.audioBitrates || [], (entry) => entry.title);
		fillOptions(elements.codec, state.codecs, (entry) => entry.title);

		restoreSettings();
		updateLayoutSummary();
		updateControls();
		if (state.stats && state.stats.running && !state.startedHere)
			showRunningSettings();
	}

	async function loadConfig() {
		try {
			const answer = await requestJson('/api/config');
			if (answer.status !== 200 || !answer.body || typeof answer.body !== 'object')
				throw new Error(describeFailure(answer));
			applyConfig(answer.body);
			if (elements.message.dataset.what === 'config')
				clearMessage();
		} catch (error) {
			const reason = error instanceof TypeError || error.name === 'AbortError' ? describeNetworkError(error) : error.message;
			showMessage('error', 'The encoder\'s settings could not be read.', `The page cannot offer inputs yet: ${reason}.`,
				'Retrying…', '', 'config');
			setTimeout(loadConfig, CONFIG_RETRY_MS);
		}
	}

	// ---- Stored choices ----------------------------------------------------

	function entryAt(entries, select) {
		const index = Number(select.value);
		return Number.isInteger(index) && index >= 0 && index < entries.length ? entries[index] : undefined;
	}

	function saveSettings() {
		if (!state.config)
			return;
		const encoding = state.config.encoding || {};
		const settings = {
			quadrants: state.quadrants.map((quadrant) => ({ source: quadrant.source.value, name: quadrant.name.value })),
			videoBitrate: entryAt(encoding.videoBitrates || [], elements.videoBitrate)?.value,
			audioBitrate: entryAt(encoding.audioBitrates || [], elements.audioBitrate)?.value,
			audioPairs: state.audioPairs,
			codec: entryAt(state.codecs, elements.codec)?.value,
			srtHostPort: elements.hostPort.value,
			srtStreamId: elements.streamId.value,
			srtLatency: elements.latency.value,
			srtReconnect: elements.reconnect.checked,
		};
		try {
			localStorage.setItem(STORAGE_KEY, JSON.stringify(settings));
		} catch (error) {
			// A browser without storage (private mode, quota) still runs the page.
		}
	}

	function readSettings() {
		try {
			const stored = JSON.parse(localStorage.getItem(STORAGE_KEY) || 'null');
			return stored && typeof stored === 'object' ? stored : null;
		} catch (error) {
			return null;
		}
	}

	function restoreSettings() {
		const encoding = state.config.encoding || {};
		const devices = state.config.devices || [];
		const known = new Set(devices.map((device) => device.id));
		const settings = readSettings();
		if (!settings) {
			// First visit: one input per quadrant, in the server's order.
			state.quadrants.forEach((quadrant, slot) => {
				quadrant.source.value = slot < devices.length ? devices[slot].id : '';
			});
			return;
		}
		state.quadrants.forEach((quadrant, slot) => {
			const stored = Array.isArray(settings.quadrants) ? settings.quadrants[slot] : null;
			const source = stored && typeof stored.source === 'string' ? stored.source : '';
			quadrant.source.value = known.has(source) ? source : '';
			quadrant.name.value = stored && typeof stored.name === 'string' ? stored.name : '';
		});
		selectByValue(elements.videoBitrate, encoding.videoBitrates || [], settings.videoBitrate);
		selectByValue(elements.audioBitrate, encoding.audioBitrates || [], settings.audioBitrate);
		selectByValue(elements.codec, state.codecs, settings.codec);
		if (typeof settings.srtHostPort === 'string')
			elements.hostPort.value = settings.srtHostPort;
		if (typeof settings.srtStreamId === 'string')
			elements.streamId.value = settings.srtStreamId;
		if (typeof settings.srtLatency === 'string' && settings.srtLatency !== '')
			elements.latency.value = settings.srtLatency;
		if (typeof settings.srtReconnect === 'boolean')
			elements.reconnect.checked = settings.srtReconnect;
		state.audioPairs = {};
		if (settings.audioPairs && typeof settings.audioPairs === 'object') {
			for (const [id, pair] of Object.entries(settings.audioPairs)) {
				if (known.has(id) && Number.isInteger(pair) && pair >= 1)
					state.audioPairs[id] = pair;
			}
		}
	}

	// A stream this page did not start (another client, or before a reload):
	// the form shows what the worker was given, not this browser's choices.
	function applyWorkerConfig(workerConfig) {
		const encoding = state.config.encoding || {};
		const known = new Set((state.config.devices || []).map((device) => device.id));
		const bySlot = new Map();
		for (const item of Array.isArray(workerConfig.quadrants) ? workerConfig.quadrants : []) {
			if (item && Number.isInteger(item.id) && item.id >= 1 && item.id <= 4 && !bySlot.has(item.id - 1))
				bySlot.set(item.id - 1, item);
		}
		// The worker takes audio and timing from the first listed quadrant that has a source.
		const master = (Array.isArray(workerConfig.quadrants) ? workerConfig.quadrants : []).find((item) =>
			item && typeof item.source_name === 'string' && item.source_name !== '' && bySlot.get(item.id - 1) === item);
		state.runningMasterSlot = master ? master.id - 1 : null;
		const channels = workerConfig.audio_channels;
		state.runningAudioChannels = Array.isArray(channels) && channels.length === 2 && channels.every(Number.isInteger)
			? channels : [1, 2];
		state.quadrants.forEach((quadrant, slot) => {
			const item = bySlot.get(slot);
			quadrant.source.value = item && known.has(item.source_id) ? item.source_id : '';
			const name = item && typeof item.name === 'string' ? item.name : '';
			quadrant.name.value = name === `Quadrant ${slot + 1}` ? '' : name;
		});
		selectByValue(elements.videoBitrate, encoding.videoBitrates || [], workerConfig.video_bitrate);
		selectByValue(elements.audioBitrate, encoding.audioBitrates || [], workerConfig.audio_bitrate);
		selectByValue(elements.codec, state.codecs, workerConfig.codec);
		const srt = workerConfig.srt && typeof workerConfig.srt === 'object' ? workerConfig.srt : {};
		if (typeof srt.host_port === 'string') {
			elements.hostPort.value = srt.host_port;
			state.peer = srt.host_port;
		}
		if (typeof srt.streamid === 'string')
			elements.streamId.value = srt.streamid;
		if (Number.isInteger(srt.latency))
			elements.latency.value = String(srt.latency);
		elements.reconnect.checked = workerConfig.srt_reconnect === true;
		updateLayoutSummary();
	}

	async function showRunningSettings() {
		try {
			const answer = await requestJson('/api/worker/config');
			if (answer.status !== 200 || !answer.body || typeof answer.body !== 'object' || !isRunning())
				return;
			applyWorkerConfig(answer.body);
			note('A stream is running: the form shows its settings');
		} catch (error) {
			// The form keeps this browser's choices; the statistics poll reports the server.
		}
	}

	// ---- Layout -------------------------------------------------------------

	function quadrantName(quadrant, slot) {
		const name = quadrant.name.value.trim();
		return name || `Quadrant ${slot + 1}`;
	}

	function masterSlot() {
		if (state.runningMasterSlot !== null)
			return state.runningMasterSlot;
		return state.quadrants.findIndex((quadrant) => quadrant.source.value !== '');
	}

	function deviceById(id) {
		return ((state.config && state.config.devices) || []).find((device) => device.id === id);
	}

	// The channels the master's input has, two by two: pair p is channels
	// 2p - 1 and 2p. An input the server says nothing of has two.
	function pairCount(device) {
		const channels = device && Number.isInteger(device.audioChannels) ? device.audioChannels : 2;
		return Math.max(1, Math.floor(channels / 2));
	}

	// The choice of channels follows the master: each input keeps the pair
	// last chosen for it. A stream started elsewhere shows its own channels.
	function updateAudioChannels() {
		const master = masterSlot();
		const id = master >= 0 ? state.quadrants[master].source.value : '';
		const device = deviceById(id);
		const count = pairCount(device);
		const options = [];
		for (let pair = 1; pair <= count; pair++)
			options.push([2 * pair - 1, 2 * pair]);
		let chosen = Math.min(state.audioPairs[id] || 1, count) - 1;
		const running = state.runningAudioChannels;
		if (running) {
			chosen = options.findIndex(([left, right]) => left === running[0] && right === running[1]);
			if (chosen < 0) {
				options.push(running);
				chosen = options.length - 1;
			}
		}
		const wanted = options.map(([left, right]) => `${left} and ${right}`);
		const shown = [...elements.audioChannels.options].map((option) => option.textContent);
		if (wanted.join('|') !== shown.join('|')) {
			elements.audioChannels.replaceChildren(...wanted.map((text, index) => {
				const option = document.createElement('option');
				option.value = `${options[index][0]},${options[index][1]}`;
				option.textContent = text;
				return option;
			}));
		}
		elements.audioChannels.selectedIndex = chosen;
		elements.audioChannelsHint.textContent = device
			? `Of ${device.name}, the master input, which has ${count * 2} channels.`
			: 'The master input\'s embedded channels that go out as the stereo.';
	}

	function chosenAudioChannels() {
		const [left, right] = elements.audioChannels.value.split(',').map(Number);
		return Number.isInteger(left) && Number.isInteger(right) ? [left, right] : [1, 2];
	}

	function onAudioChannelsChosen() {
		const master = masterSlot();
		if (master < 0 || state.runningAudioChannels)
			return;
		const [left] = chosenAudioChannels();
		state.audioPairs[state.quadrants[master].source.value] = (left + 1) / 2;
	}

	// Quadrants that share an input, as lists of quadrant numbers per input.
	function sharedInputs() {
		const bySource = new Map();
		state.quadrants.forEach((quadrant, slot) => {
			if (quadrant.source.value === '')
				return;
			if (!bySource.has(quadrant.source.value))
				bySource.set(quadrant.source.value, []);
			bySource.get(quadrant.source.value).push(slot);
		});
		return [...bySource.values()].filter((slots) => slots.length > 1);
	}

	function updateLayoutSummary() {
		const master = masterSlot();
		state.quadrants.forEach((quadrant, slot) => {
			const chosen = quadrant.source.value !== '';
			quadrant.cell.dataset.empty = chosen ? 'false' : 'true';
			quadrant.cell.dataset.master = slot === master ? 'true' : 'false';
			quadrant.badge.hidden = slot !== master;
			quadrant.tileName.textContent = chosen ? `Q${slot + 1} · ${quadrantName(quadrant, slot)}` : `Q${slot + 1} · Empty`;
			quadrant.tile.dataset.master = slot === master ? 'true' : 'false';
		});
		const repeated = sharedInputs().length > 0;
		if (master < 0) {
			elements.audioSource.textContent = 'No input chosen';
			elements.audioSource.dataset.kind = 'warning';
		} else {
			const quadrant = state.quadrants[master];
			const device = quadrant.source.selectedOptions[0] ? quadrant.source.selectedOptions[0].textContent : '';
			let text = `Audio and timing from Q${master + 1} ${quadrantName(quadrant, master)} (${device})`;
			if (repeated)
				text += ' · one input is used in more than one quadrant';
			elements.audioSource.textContent = text;
			elements.audioSource.dataset.kind = repeated ? 'warning' : 'info';
		}
		updateAudioChannels();
	}

	// ---- Checks before sending -------------------------------------------------

	const HOST_NAME = /^[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?(\.[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?)*\.?$/;
	const EXAMPLE_DESTINATION = '203.0.113.10:9000';

	// The receiver's address as host:port; returns { hostPort } or { problem }.
	function checkDestination(text) {
		const value = text.trim();
		if (value === '')
			return { problem: `Enter the receiver's address as host:port, for example ${EXAMPLE_DESTINATION}.` };
		if (/\s/.test(value))
			return { problem: 'The receiver\'s address cannot contain spaces.' };
		if (/^[A-Za-z][A-Za-z0-9+.-]*:\/\//.test(value))
			return { problem: `The encoder sends to SRT receivers only: enter host:port, for example ${EXAMPLE_DESTINATION}.` };
		const bracketed = /^\[([0-9A-Fa-f:.]+)\](?::(.*))?$/.exec(value);
		let host;
		let port;
		if (bracketed) {
			host = bracketed[0].slice(0, bracketed[1].length + 2);
			port = bracketed[2];
		} else {
			const colons = value.split(':').length - 1;
			if (colons > 1)
				return { problem: 'Write an IPv6 address in brackets, followed by the port: [2001:db8::1]:9000.' };
			[host, port] = colons === 1 ? value.split(':') : [value, undefined];
			if (host === '')
				return { problem: `The host is missing before the port: enter host:port, for example ${EXAMPLE_DESTINATION}.` };
			if (!HOST_NAME.test(host))
				return { problem: `"${host}" is neither a host name nor an IP address.` };
			if (/^\d+(\.\d+){3}$/.test(host) && host.split('.').some((part) => Number(part) > 255))
				return { problem: `"${host}" is not an IP address: each of its four numbers is 0 to 255.` };
		}
		if (port === undefined || port === '')
			return { problem: `Add the receiver's port after the host, for example ${host}:9000.` };
		if (!/^\d+$/.test(port) || Number(port) < 1 || Number(port) > 65535)
			return { problem: `The port "${port}" is not a port number: a port is a number from 1 to 65535.` };
		return { hostPort: `${host}:${Number(port)}` };
	}

	function decodeParameter(text) {
		try {
			return decodeURIComponent(text);
		} catch (error) {
			return text;
		}
	}

	// A pasted srt://host:port?streamid=...&latency=...&passphrase=... goes into
	// its fields; returns the names of the fields filled, or null.
	function takeApartSrtAddress() {
		const value = elements.hostPort.value.trim();
		const match = /^srt:\/\/([^?#/]*)\/?(?:\?(.*))?$/i.exec(value);
		if (!match)
			return null;
		elements.hostPort.value = match[1];
		const filled = ['host:port'];
		for (const parameter of (match[2] || '').split('&')) {
			const equals = parameter.indexOf('=');
			if (equals <= 0)
				continue;
			const name = parameter.slice(0, equals).toLowerCase();
			const content = decodeParameter(parameter.slice(equals + 1));
			if (name === 'streamid') {
				elements.streamId.value = content;
				filled.push('stream ID');
			} else if (name === 'latency') {
				elements.latency.value = content;
				filled.push('latency');
			} else if (name === 'passphrase') {
				elements.passphrase.value = content;
				filled.push('passphrase');
			}
		}
		return filled;
	}

	function onHostPortInput() {
		const filled = takeApartSrtAddress();
		if (!filled)
			return;
		showMessage('info', 'The pasted SRT address was taken apart into its fields.',
			`Filled in: ${filled.join(', ')}. The encoder always calls the receiver (SRT caller).`);
		saveSettings();
	}

	function joinWords(words) {
		return words.length <= 1 ? words.join('') : `${words.slice(0, -1).join(', ')} and ${words.at(-1)}`;
	}

	// Builds the stream start request from the form; returns { request, shared }
	// or { problem, element }.
	function buildStartRequest() {
		const encoding = state.config.encoding || {};
		takeApartSrtAddress();
		const quadrants = [];
		state.quadrants.forEach((quadrant, slot) => {
			if (quadrant.source.value !== '')
				quadrants.push({ id: slot + 1, name: quadrantName(quadrant, slot), source_id: quadrant.source.value });
		});
		if (quadrants.length === 0)
			return { problem: 'Choose an input for at least one quadrant.', element: 'quadrant-1-source' };

		const destination = checkDestination(elements.hostPort.value);
		if (destination.problem)
			return { problem: destination.problem, element: 'srt-host-port' };

		const latencyText = elements.latency.value.trim();
		let latency = DEFAULT_LATENCY_MS;
		if (latencyText !== '') {
			if (!/^\d+$/.test(latencyText))
				return { problem: `Latency takes digits only: a whole number of milliseconds, such as ${DEFAULT_LATENCY_MS}.`, element: 'srt-latency' };
			latency = Number(latencyText);
			if (latency > 2147483647)
				return { problem: 'This latency is too large: enter milliseconds, such as 120 or 2000.', element: 'srt-latency' };
		}

		const passphrase = elements.passphrase.value;
		if (passphrase !== '' && (passphrase.length < 10 || passphrase.length > 79))
			return { problem: 'An SRT passphrase has 10 to 79 characters; leave it empty for an unencrypted stream.', element: 'srt-passphrase' };

		const shared = sharedInputs().map((slots) => {
			const quadrant = state.quadrants[slots[0]];
			const input = quadrant.source.selectedOptions[0] ? quadrant.source.selectedOptions[0].textContent : quadrant.source.value;
			return `${input} is in ${joinWords(slots.map((slot) => `Q${slot + 1}`))}`;
		});

		return {
			shared,
			request: {
				srtHostPort: destination.hostPort,
				srtStreamId: elements.streamId.value.trim(),
				srtPassphrase: passphrase,
				srtLatency: latency,
				srtReconnect: elements.reconnect.checked,
				videoBitrate: entryAt(encoding.videoBitrates || [], elements.videoBitrate)?.value,
				audioBitrate: entryAt(encoding.audioBitrates || [], elements.audioBitrate)?.value,
				audioChannels: chosenAudioChannels(),
				codec: entryAt(state.codecs, elements.codec)?.value,
				quadrants,
			},
		};
	}

	// The server's refusal of a start, in the operator's words, with the field it concerns.
	function explainRefusal(reason) {
		const rules = [
			[/srtHostPort/, 'srt-host-port', `Check the receiver's address: host:port with a port from 1 to 65535, for example ${EXAMPLE_DESTINATION}.`],
			[/srtLatency/, 'srt-latency', 'Check the latency: a whole number of milliseconds, 0 or more.'],
			[/srtPassphrase/, 'srt-passphrase', 'An SRT passphrase has 10 to 79 characters; leave it empty for an unencrypted stream.'],
			[/srtStreamId/, 'srt-stream-id', 'The stream ID is too long: SRT allows at most 512 characters.'],
			[/codec/, 'codec', 'Choose a video encoder from the list.'],
			[/videoBitrate/, 'video-bitrate', 'Choose a video bitrate from the list.'],
			[/audioBitrate/, 'audio-bitrate', 'Choose an audio bitrate from the list.'],
			[/audioChannels/, 'audio-channels', 'Choose audio channels that the master input has: reload the page to see the channels the server offers now.'],
			[/device id/, 'quadrant-1-source', 'An input is no longer known to the server: reload the page to see the inputs it has now.'],
			[/quadrants|devices/, 'quadrant-1-source', 'Check the layout: each quadrant at most once, at most four inputs.'],
			[/already running/, null, 'A stream is already running, started from another client or page. Stop it first.'],
			[/Worker executable not found/, null, 'The media worker program is missing beside the server: the installation is incomplete.'],
			[/Failed to start Worker/, null, 'The server could not start the media worker.'],
			[/worker config/i, null, 'The server could not write the stream\'s settings to its disk.'],
		];
		const rule = rules.find(([pattern]) => pattern.test(reason));
		return rule ? { words: rule[2], element: rule[1] } : { words: 'The server did not accept the settings.', element: null };
	}

	// ---- Dialogs ----------------------------------------------------------------

	// A question that needs a deliberate second action: the safe answer has the
	// focus, so Enter or Space right after the first press does not confirm.
	function confirmAction({ title, text, cancel, accept, kind }) {
		return new Promise((resolve) => {
			const dialog = elements.dialog;
			const returnFocus = document.activeElement;
			elements.dialogTitle.textContent = title;
			elements.dialogText.textContent = text;
			elements.dialogCancel.textContent = cancel;
			elements.dialogAccept.textContent = accept;
			elements.dialogAccept.dataset.kind = kind;
			dialog.returnValue = '';
			dialog.addEventListener('close', () => {
				if (returnFocus instanceof HTMLElement && !returnFocus.disabled)
					returnFocus.focus();
				resolve(dialog.returnValue === 'accept');
			}, { once: true });
			dialog.showModal();
			elements.dialogCancel.focus();
		});
	}

	function closeDialog() {
		if (elements.dialog.open)
			elements.dialog.close('cancel');
	}

	// ---- Start and stop ------------------------------------------------------

	async function startStream() {
		if (!state.config || state.busy || isRunning())
			return;
		clearMessage();
		const built = buildStartRequest();
		if (built.problem) {
			showMessage('error', 'The stream was not started.', built.problem);
			markField(built.element);
			return;
		}
		if (built.shared.length > 0) {
			const go = await confirmAction({
				title: 'Use one input in two quadrants?',
				text: `${built.shared.join('; ')}. The same picture then appears more than once in the program.`,
				cancel: 'Change the layout',
				accept: 'Start anyway',
				kind: 'go',
			});
			if (!go || state.busy || isRunning())
				return;
		}
		const start = built.request;
		elements.hostPort.value = start.srtHostPort;
		state.busy = 'start';
		state.stoppedHere = false;
		updateControls();
		try {
			const answer = await requestJson('/api/stream/start', {
				method: 'POST',
				headers: { 'Content-Type': 'application/json' },
				body: JSON.stringify(start),
			}, ACTION_TIMEOUT_MS);
			if (answer.status === 200) {
				state.startedHere = true;
				state.pending = 'start';
				state.peer = start.srtHostPort;
				state.runStartedAt = null;
				note(`Start sent: ${start.quadrants.length} of 4 quadrants to ${start.srtHostPort}${start.srtReconnect ? ', reconnecting automatically' : ''}`);
			} else {
				const reason = describeFailure(answer);
				const refusal = explainRefusal(reason);
				showMessage('error', 'The stream was not started.', refusal.words, '', `The server answered: ${reason}`);
				if (refusal.element)
					markField(refusal.element);
				note(`Start refused: ${reason}`, 'error');
			}
		} catch (error) {
			const reason = describeNetworkError(error);
			showMessage('error', 'The stream was not started.', `The start request failed: ${reason}.`);
			note(`Start request failed: ${reason}`, 'error');
		} finally {
			state.busy = null;
			state.actionCount++;
			updateControls();
		}
	}

	async function askToStop() {
		if (state.busy || !isRunning())
			return;
		const destination = state.peer ? `The receiver at ${state.peer}` : 'The receiver';
		const stop = await confirmAction({
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
		clearMessage();
		state.busy = 'stop';
		updateControls();
		try {
			const answer = await requestJson('/api/stream/stop', { method: 'POST' }, ACTION_TIMEOUT_MS);
			if (answer.status === 200 && answer.body && answer.body.status === 'not_running') {
				showMessage('info', 'The encoder was not running.', answer.body.message || '');
			} else if (answer.status === 200) {
				state.stoppedHere = true;
				state.pending = 'stop';
				note('Stop sent');
			} else {
				const reason = describeFailure(answer);
				showMessage('error', 'The stream could not be stopped.', 'The server could not end the media worker.', '', reason);
				note(`Stop failed: ${reason}`, 'error');
			}
		} catch (error) {
			const reason = describeNetworkError(error);
			showMessage('error', 'The stream could not be stopped.', `The stop request failed: ${reason}.`);
			note(`Stop request failed: ${reason}`, 'error');
		} finally {
			state.busy = null;
			state.actionCount++;
			updateControls();
		}
	}

	// ---- What the stream reports ------------------------------------------------

	function isRunning() {
		return state.stats !== null && state.stats.running === true;
	}

	// The events of the current or last run: those after its "Worker started".
	function runEvents(stats) {
		const events = Array.isArray(stats.events) ? stats.events : [];
		let first = 0;
		events.forEach((event, index) => {
			if (typeof event.message === 'string' && event.message.startsWith('Worker started'))
				first = index;
		});
		return events.slice(first).filter((event) => typeof event.message === 'string');
	}

	// The SRT link's attempts since it was last up: { attempt, reason }, attempt
	// being the one under way (1 for the first call).
	function linkAttempts(stats) {
		let attempt = 1;
		let reason = '';
		for (const event of runEvents(stats)) {
			const text = event.message;
			let match;
			if ((match = /^SRT connection attempt (\d+) to \S+ failed: (.*)$/.exec(text))) {
				attempt = Number(match[1]) + 1;
				reason = match[2];
			} else if ((match = /^SRT connection to \S+ failed: (.*)$/.exec(text))) {
				// An error, not a warning, when no other attempt follows.
				attempt = event.level === 'error' ? 1 : 2;
				reason = match[1];
			} else if ((match = /^SRT connection lost: (.*?)(; reconnecting)?$/.exec(text))) {
				attempt = 1;
				reason = match[1];
			} else if (/^SRT connect(ed|ion restored)/.test(text)) {
				attempt = 1;
				reason = '';
			}
		}
		return { attempt, reason };
	}

	// What the top bar shows: { key, text, detail }.
	function streamView() {
		if (state.busy === 'start')
			return { key: 'busy', text: 'STARTING…', detail: '' };
		if (state.busy === 'stop' || state.pending === 'stop')
			return { key: 'busy', text: 'STOPPING…', detail: '' };
		// Started, and not yet heard of: the link cannot be up yet.
		if (state.pending === 'start')
			return { key: 'connecting', text: 'CONNECTING', detail: '' };
		const stats = state.stats;
		if (!stats)
			return { key: 'unknown', text: 'NO STATUS', detail: '' };
		if (stats.running) {
			const srt = stats.srt;
			if (srt && srt.state === 'reconnecting')
				return { key: 'reconnecting', text: 'RECONNECTING', detail: `attempt ${linkAttempts(stats).attempt}` };
			// Without an SRT link (an output of another kind) the output's own record stands for it.
			const linkUp = srt ? srt.state === 'connected' : stats.output !== null;
			if (stats.state === 'live' && linkUp)
				return { key: 'live', text: 'ON AIR', detail: '' };
			const { attempt } = linkAttempts(stats);
			return { key: 'connecting', text: 'CONNECTING', detail: attempt > 1 ? `attempt ${attempt}` : '' };
		}
		if (stats.state === 'failed')
			return { key: 'failed', text: 'FAILED', detail: '' };
		if (stats.state === 'stopped')
			return { key: 'stopped', text: 'STOPPED', detail: '' };
		return { key: 'idle', text: 'IDLE', detail: '' };
	}

	function codecLabel(name) {
		const entry = state.codecs.find((codec) => codec.value === name);
		return entry ? entry.title : name;
	}

	// The receiver of the last run as host:port, from what the page saw or the run's own words.
	function peerOf(stats, message) {
		if (state.peer)
			return state.peer;
		for (const event of runEvents(stats).reverse()) {
			const match = /^SRT (?:connection (?:attempt \d+ )?to|connected to) (\S+)/.exec(event.message);
			if (match)
				return match[1];
		}
		const match = /srt:\/\/([^?'"\s]+)/.exec(message);
		return match ? match[1] : '';
	}

	// Why the last run ended, in plain words: { words, technical }.
	function explainEnd(stats) {
		const exit = stats.lastExit || {};
		const message = typeof exit.message === 'string' ? exit.message : `Worker exited with code ${exit.code}`;
		const events = runEvents(stats);
		const problems = events.filter((event) => event.level !== 'info');
		const technical = [
			message,
			...problems.slice(-6).map((event) => `${timeOfDay(new Date(event.at))}  ${event.message}`),
		].join('\n');
		const peer = peerOf(stats, message);
		const receiver = peer ? `The receiver at ${peer}` : 'The receiver';
		const software = codecLabel(SOFTWARE_CODEC);
		const has = (pattern) => events.find((event) => pattern.test(event.message));
		let match;
		let words;
		if ((match = /encoder '([^']+)'/.exec(message))) {
			const encoder = match[1];
			words = HARDWARE_ENCODERS[encoder]
				? `This machine has no ${HARDWARE_ENCODERS[encoder]}: choose ${software}`
				: `The video encoder ${codecLabel(encoder)} cannot run on this machine: choose ${software}`;
		} else if ((match = /cannot resolve (\S+?):/.exec(message + '\n' + problems.map((event) => event.message).join('\n')))) {
			words = `The receiver's host name ${match[1]} was not found: check its spelling (SRT connection failed)`;
		} else if (has(/^SRT connection lost/)) {
			words = `The connection to ${peer ? `the receiver at ${peer}` : 'the receiver'} was lost (SRT connection lost)`;
		} else if ((match = has(/^SRT connection to \S+ failed: /)) || /SRT output/.test(message)) {
			const refused = /reject/i.test(match ? match.message : message);
			words = refused
				? `${receiver} refused the call: check the stream ID and the passphrase (SRT connection rejected)`
				: `${receiver} did not answer (SRT connection failed)`;
		} else if ((match = /^Worker exited with code (\d+)$/.exec(message))) {
			const code = Number(match[1]);
			words = code > 128
				? `The media worker was ended from outside the encoder (exit code ${code})`
				: `The media worker ended unexpectedly (exit code ${code})`;
		} else if (/Encoder returned HTTP|Failed to connect to Encoder/.test(message)) {
			words = 'The media worker could not read its settings from the server';
		} else if (/input|capture|DeckLink|source/i.test(message)) {
			words = `An input could not be captured: ${message}`;
		} else {
			words = `The stream ended unexpectedly: ${message}`;
		}
		return { words, technical };
	}

	function linkDownMessage(stats, view) {
		const { attempt, reason } = linkAttempts(stats);
		const peer = state.peer || 'the receiver';
		if (view.key === 'reconnecting') {
			showMessage('warning', `The link to the receiver at ${peer} is down.`,
				`The encoder keeps calling it (attempt ${attempt}) and keeps encoding; the receiver gets the stream again once it answers.`,
				'', reason ? `SRT: ${reason}` : '', 'link');
		} else if (attempt > 1) {
			showMessage('warning', `The receiver at ${peer} does not answer yet.`,
				`The encoder keeps calling it (attempt ${attempt}). Check that the receiver is listening on this address.`,
				'', reason ? `SRT: ${reason}` : '', 'link');
		}
	}

	// Puts up or takes down what the state says, when it changes.
	function updateStateMessage(before, view, stats) {
		// Until the server has been asked after a start or stop, its events are the run's before.
		if (state.pending)
			return;
		const what = elements.message.dataset.what;
		if (view.key === 'failed') {
			const exitKey = stats.lastExit ? stats.lastExit.at : '';
			if (state.shownExit === exitKey)
				return;
			state.shownExit = exitKey;
			const { words, technical } = explainEnd(stats);
			const at = stats.lastExit && stats.lastExit.at ? ` at ${timeOfDay(new Date(stats.lastExit.at))}` : '';
			showMessage('error', `The stream ended${at}.`, words, 'Check the settings, then start again.', technical, 'end');
			return;
		}
		if (before === view.key && view.key !== 'reconnecting' && view.key !== 'connecting')
			return;
		if (view.key === 'stopped' && (before === 'live' || before === 'reconnecting' || before === 'connecting' || before === 'busy')) {
			if (state.stoppedHere)
				showMessage('info', 'Stream stopped.', '', '', '', 'end');
			else
				showMessage('warning', 'The stream was stopped.', 'It was not stopped from this page: another client or the server ended it.', '', '', 'end');
		} else if (view.key === 'reconnecting' || view.key === 'connecting') {
			linkDownMessage(stats, view);
		} else if (view.key === 'live' && what === 'link') {
			clearMessage();
		}
	}

	function applyStats(stats) {
		const wasRunning = isRunning();
		state.stats = stats;
		if (stats && stats.running && !wasRunning) {
			state.bitrateSamples = [];
			state.shownExit = null;
			state.stoppedHere = false;
			// The end of the run before is no news once a new one runs.
			if (elements.message.dataset.what === 'end')
				clearMessage();
			if (state.config && !state.startedHere)
				showRunningSettings();
		}
		if (stats && !stats.running && wasRunning) {
			state.startedHere = false;
			closeDialog();
			if (state.runningMasterSlot !== null || state.runningAudioChannels !== null) {
				state.runningMasterSlot = null;
				state.runningAudioChannels = null;
				updateLayoutSummary();
			}
		}
		if (stats && stats.srt && typeof stats.srt.peer === 'string' && stats.srt.peer)
			state.peer = stats.srt.peer;
		updateControls();
		if (stats) {
			// A server that comes back knowing of no run was restarted, and its worker ended with it.
			if (state.lastKnownRunning && !stats.running && stats.state === 'idle') {
				state.startedHere = false;
				closeDialog();
				showMessage('warning', 'The stream has ended: the server was restarted.',
					'A restart ends the media worker with it. Start the stream again when you are ready.', '', '', 'end');
				note('The server was restarted: the stream has ended', 'warning');
			}
			state.lastKnownRunning = stats.running;
		}
		updateHealth();
		renderLog();
	}

	// ---- Link, inputs and audio ------------------------------------------------

	function setFigure(element, value, text, warn = false) {
		element.textContent = text;
		if (value === null || value === undefined)
			delete element.dataset.value;
		else
			element.dataset.value = String(value);
		element.dataset.warn = warn ? 'true' : 'false';
	}

	function isNumber(value) {
		return typeof value === 'number' && Number.isFinite(value);
	}

	function durationText(seconds) {
		const whole = Math.floor(seconds);
		const hours = Math.floor(whole / 3600);
		const minutes = Math.floor((whole % 3600) / 60);
		const rest = whole % 60;
		const two = (number) => String(number).padStart(2, '0');
		return `${hours}:${two(minutes)}:${two(rest)}`;
	}

	function decibelText(value) {
		if (!isNumber(value))
			return '—';
		if (value <= SILENCE_DBFS)
			return 'silence';
		return value.toFixed(1).replace('-', '−');
	}

	// The sent bitrate in Mbit/s: what SRT sends while the link is up, nothing while it is down.
	function sentMbps(stats) {
		const srt = stats.srt;
		if (srt)
			return srt.state === 'connected' && isNumber(srt.sendRateMbps) ? srt.sendRateMbps : srt.state === 'connected' ? null : 0;
		const output = stats.output;
		return output && isNumber(output.measuredBitrateKbps) ? output.measuredBitrateKbps / 1000 : null;
	}

	function drawSparkline() {
		const now = Date.now();
		state.bitrateSamples = state.bitrateSamples.filter((sample) => now - sample.at <= SPARKLINE_SECONDS * 1000);
		const highest = Math.max(0.1, ...state.bitrateSamples.map((sample) => sample.mbps));
		const points = state.bitrateSamples.map((sample) => {
			const x = 120 - ((now - sample.at) / (SPARKLINE_SECONDS * 1000)) * 120;
			const y = 27 - (sample.mbps / highest) * 25;
			return `${x.toFixed(1)},${y.toFixed(1)}`;
		});
		elements.sparkline.setAttribute('points', points.join(' '));
	}

	function updateLink(stats) {
		const running = stats !== null && stats.running;
		elements.healthPanel.dataset.active = running ? 'true' : 'false';
		const srt = running ? stats.srt : null;
		if (!running) {
			for (const element of [elements.bitrate, elements.rtt, elements.lost, elements.retransmitted, elements.latencyFigure,
				elements.reconnects, elements.uptime])
				setFigure(element, null, '—');
			elements.healthNote.textContent = 'Shown while a stream runs';
			return;
		}
		const mbps = sentMbps(stats);
		if (mbps !== null) {
			state.bitrateSamples.push({ at: Date.now(), mbps });
			setFigure(elements.bitrate, mbps, `${mbps.toFixed(2)} Mbit/s`, srt !== null && srt.state !== 'connected');
		} else {
			setFigure(elements.bitrate, null, '—');
		}
		drawSparkline();
		const rtt = srt && isNumber(srt.rttMs) ? srt.rttMs : null;
		setFigure(elements.rtt, rtt, rtt === null ? '—' : `${rtt.toFixed(rtt < 10 ? 2 : 0)} ms`);
		const count = (element, value, warn) => setFigure(element, isNumber(value) ? value : null,
			isNumber(value) ? String(value) : '—', warn && isNumber(value) && value > 0);
		count(elements.lost, srt ? srt.packetsLost : null, true);
		count(elements.retransmitted, srt ? srt.packetsRetransmitted : null, false);
		count(elements.reconnects, srt ? srt.reconnects : null, true);
		const latency = srt && isNumber(srt.latencyMs) ? srt.latencyMs : null;
		setFigure(elements.latencyFigure, latency, latency === null ? '—' : `${latency} ms`);
		const uptime = isNumber(stats.uptimeSeconds) ? stats.uptimeSeconds : null;
		setFigure(elements.uptime, uptime, uptime === null ? '—' : durationText(uptime));
		elements.healthNote.textContent = srt && srt.peer ? `SRT to ${srt.peer}` : 'Updated every second';
	}

	function updateMeters(stats) {
		const audio = stats && stats.running && stats.audio ? stats.audio : null;
		const source = audio && Array.isArray(audio.sourceChannels) && audio.sourceChannels.length === 2
			? audio.sourceChannels : null;
		elements.metersChannels.textContent = source ? `· channels ${source[0]} and ${source[1]}` : '';
		elements.meters.forEach(({ meter, values, name }, channel) => {
			const peak = audio && Array.isArray(audio.peakDbfs) && isNumber(audio.peakDbfs[channel]) ? audio.peakDbfs[channel] : null;
			const rms = audio && Array.isArray(audio.rmsDbfs) && isNumber(audio.rmsDbfs[channel]) ? audio.rmsDbfs[channel] : null;
			const share = (value) => (value === null ? 0 : Math.min(1, Math.max(0, (value - METER_FLOOR_DBFS) / -METER_FLOOR_DBFS)));
			meter.dataset.level = peak !== null ? 'true' : 'false';
			meter.querySelector('.meter-rms').style.width = `${(share(rms) * 100).toFixed(1)}%`;
			meter.querySelector('.meter-rms').style.setProperty('--meter-width', `${(100 / Math.max(share(rms), 0.001)).toFixed(1)}%`);
			meter.querySelector('.meter-peak').style.left = `calc(${(share(peak) * 100).toFixed(1)}% - 2px)`;
			meter.setAttribute('aria-valuenow', String(peak === null ? METER_FLOOR_DBFS : Math.max(METER_FLOOR_DBFS, Math.min(0, peak))));
			meter.setAttribute('aria-valuetext', peak === null ? 'no level' : `peak ${decibelText(peak)} dBFS, RMS ${decibelText(rms)} dBFS`);
			values.textContent = peak === null ? '—' : `peak ${decibelText(peak)}  RMS ${decibelText(rms)}`;
			if (peak === null) {
				delete values.dataset.peak;
				delete values.dataset.rms;
			} else {
				values.dataset.peak = String(peak);
				values.dataset.rms = String(rms);
			}
			meter.title = source ? `${name} channel: channel ${source[channel]} of the master input` : `${name} channel`;
		});
	}

	function updateInputs(stats) {
		const records = new Map();
		if (stats && stats.running && Array.isArray(stats.inputs)) {
			for (const input of stats.inputs) {
				if (input && Number.isInteger(input.quadrant))
					records.set(input.quadrant - 1, input);
			}
		}
		state.quadrants.forEach((quadrant, slot) => {
			const input = records.get(slot);
			let words = '';
			let badge = '';
			let signal = 'idle';
			if (input) {
				signal = input.signal === 'ok' || input.signal === 'none' ? input.signal : 'unknown';
				const pace = isNumber(input.fps) ? `${input.fps.toFixed(1)} pictures/s` : '';
				if (signal === 'ok') {
					words = `Signal · ${pace}`;
					badge = isNumber(input.fps) ? `${input.fps.toFixed(1)} fps` : 'OK';
				} else if (signal === 'none') {
					words = 'No signal · the program shows the slate';
					badge = 'NO SIGNAL';
				} else {
					words = 'Waiting for the first picture';
					badge = 'WAITING';
				}
				quadrant.signal.dataset.fps = isNumber(input.fps) ? String(input.fps) : '';
			}
			quadrant.signal.textContent = words;
			quadrant.signal.dataset.signal = signal;
			quadrant.tileSignal.textContent = badge;
			quadrant.tileSignal.dataset.signal = signal;
		});
	}

	function updateHealth() {
		updateLink(state.stats);
		updateMeters(state.stats);
		updateInputs(state.stats);
	}

	// ---- Status --------------------------------------------------------------

	function setServerReachable(reachable) {
		if (state.serverReachable === reachable)
			return;
		const before = state.serverReachable;
		state.serverReachable = reachable;
		elements.health.dataset.state = reachable ? 'ok' : 'down';
		elements.healthText.textContent = reachable ? 'Server online' : 'Server unreachable';
		if (reachable && before === false)
			note('Server reachable again', 'good');
		else if (!reachable)
			note('Server unreachable', 'error');
	}

	async function pollStats() {
		const countAtSend = state.actionCount;
		try {
			const answer = await requestJson('/api/stream/stats');
			if (answer.status !== 200 || !answer.body || typeof answer.body.running !== 'boolean')
				throw new Error(describeFailure(answer));
			setServerReachable(true);
			if (!state.busy && countAtSend === state.actionCount) {
				state.pending = null;
				applyStats(answer.body);
			}
		} catch (error) {
			setServerReachable(false);
			if (!state.busy && countAtSend === state.actionCount) {
				state.pending = null;
				applyStats(null);
			}
		} finally {
			setTimeout(pollStats, STATS_INTERVAL_MS);
		}
	}

	function updateControls() {
		const running = isRunning();
		const known = state.stats !== null;
		const ready = state.config !== null && !state.busy && !state.pending;
		elements.startButton.disabled = !(ready && known && !running);
		elements.stopButton.disabled = !(ready && running);
		// The settings of a running stream cannot change: lock them until it stops.
		const locked = running || state.busy !== null || state.pending !== null;
		elements.layoutFieldset.disabled = locked;
		elements.encodingFieldset.disabled = locked;
		elements.srtFieldset.disabled = locked;

		const before = state.view ? state.view.key : null;
		const view = streamView();
		state.view = view;
		elements.tally.dataset.state = view.key;
		elements.tallyText.textContent = view.text;
		elements.tallyDetail.textContent = view.detail;
		document.body.dataset.stream = view.key;
		document.title = `${view.text.replace('…', '')} - ${PRODUCT}`;
		elements.previewFrame.dataset.live = view.key === 'live' ? 'true' : 'false';
		if (state.stats)
			updateStateMessage(before, view, state.stats);

		if (running)
			startPreview();
		else
			stopPreview();
	}

	// ---- Preview ---------------------------------------------------------------

	function startPreview() {
		if (state.previewTimer !== null)
			return;
		// A worker needs a moment for its first picture; asking at once only meets "none yet".
		state.previewTimer = setTimeout(pollPreview, PREVIEW_INTERVAL_MS);
	}

	function stopPreview() {
		if (state.previewTimer !== null) {
			clearTimeout(state.previewTimer);
			state.previewTimer = null;
		}
		if (state.hasPicture)
			elements.previewBadge.hidden = false;
		else
			elements.previewInfo.textContent = 'No picture';
	}

	async function showPicture(blob) {
		const url = URL.createObjectURL(blob);
		const probe = new Image();
		probe.src = url;
		try {
			await probe.decode();
		} catch (error) {
			// A picture the browser cannot decode is skipped; the last good one stays.
			URL.revokeObjectURL(url);
			return false;
		}
		elements.previewImage.src = url;
		elements.previewImage.hidden = false;
		elements.previewBadge.hidden = isRunning();
		elements.previewPlaceholder.hidden = true;
		elements.previewFrame.dataset.state = 'picture';
		if (state.previewUrl)
			URL.revokeObjectURL(state.previewUrl);
		state.previewUrl = url;
		state.hasPicture = true;
		elements.previewInfo.textContent = `${probe.naturalWidth}×${probe.naturalHeight} · updated ${timeOfDay()}`;
		return true;
	}

	// Fetches the preview once; the answer 503 means no picture exists yet.
	async function fetchPreview() {
		try {
			const response = await request('/api/preview');
			if (response.status === 200) {
				const blob = await response.blob();
				if (blob.size > 0)
					await showPicture(blob);
			} else if (!state.hasPicture) {
				elements.previewInfo.textContent = response.status === 503 ? 'Waiting for the first picture' : `Preview unavailable (HTTP ${response.status})`;
			}
		} catch (error) {
			// The statistics poll reports an unreachable server; the picture stays.
		}
	}

	async function pollPreview() {
		await fetchPreview();
		if (state.previewTimer !== null)
			state.previewTimer = setTimeout(pollPreview, PREVIEW_INTERVAL_MS);
	}

	// ---- Wiring ------------------------------------------------------------------

	function onSettingsChanged(event) {
		if (event.target instanceof HTMLElement && event.target.getAttribute('aria-invalid') === 'true')
			event.target.removeAttribute('aria-invalid');
		if (event.target === elements.audioChannels)
			onAudioChannelsChosen();
		updateLayoutSummary();
		saveSettings();
	}

	function init() {
		buildQuadrants();
		loadNotes();
		elements.layoutForm.addEventListener('input', onSettingsChanged);
		elements.layoutForm.addEventListener('change', onSettingsChanged);
		elements.settingsForm.addEventListener('input', onSettingsChanged);
		elements.settingsForm.addEventListener('change', onSettingsChanged);
		elements.hostPort.addEventListener('input', onHostPortInput);
		// Going on air takes a press of the Start button, never an Enter key in a field.
		elements.layoutForm.addEventListener('submit', (event) => event.preventDefault());
		elements.settingsForm.addEventListener('submit', (event) => event.preventDefault());
		elements.startButton.addEventListener('click', startStream);
		elements.stopButton.addEventListener('click', askToStop);
		elements.passphraseToggle.addEventListener('click', () => {
			const show = elements.passphrase.type === 'password';
			elements.passphrase.type = show ? 'text' : 'password';
			elements.passphraseToggle.textContent = show ? 'Hide' : 'Show';
			elements.passphraseToggle.setAttribute('aria-label', show ? 'Hide passphrase' : 'Show passphrase');
		});
		elements.latency.placeholder = String(DEFAULT_LATENCY_MS);

		updateControls();
		updateHealth();
		renderLog();
		loadConfig();
		pollStats();
	}

	init();
})();
