// Control page of the encoder: reads the server's configuration, edits the 2x2
// layout and the stream settings, starts and stops the stream and shows the
// preview. Everything talks to the server that served this page.
'use strict';

(() => {
	const STATUS_INTERVAL_MS = 1000;
	const HEALTH_INTERVAL_MS = 5000;
	const PREVIEW_INTERVAL_MS = 1000;
	const CONFIG_RETRY_MS = 3000;
	const REQUEST_TIMEOUT_MS = 4000;
	const STORAGE_KEY = 'tiloran.control.settings';
	const DEFAULT_LATENCY_MS = 120;
	const ACTIVITY_LIMIT = 12;
	const POSITIONS = ['Top left', 'Top right', 'Bottom left', 'Bottom right'];

	// Plain-language hints for the fields the server names in its refusals.
	const FIELD_HINTS = [
		{ key: 'srtHostPort', element: 'srt-host-port', hint: 'Enter the SRT listener as host:port, for example 203.0.113.10:9000.' },
		{ key: 'srtLatency', element: 'srt-latency', hint: 'Enter the latency as a whole number of milliseconds, 0 or more.' },
		{ key: 'codec', element: 'codec', hint: 'Choose a video encoder.' },
		{ key: 'videoBitrate', element: 'video-bitrate', hint: 'Choose a video bitrate.' },
		{ key: 'audioBitrate', element: 'audio-bitrate', hint: 'Choose an audio bitrate.' },
		{ key: 'quadrants', element: 'quadrant-1-source', hint: 'Choose an input for at least one quadrant.' },
		{ key: 'device id', element: 'quadrant-1-source', hint: 'An input is no longer known to the server. Reload the page to see the current inputs.' },
		{ key: 'already running', element: null, hint: 'Stop the running stream first.' },
		{ key: 'Worker executable not found', element: null, hint: 'The media worker program is missing beside the server.' },
	];

	const $ = (id) => document.getElementById(id);
	const elements = {
		title: $('product-title'),
		version: $('product-version'),
		health: $('server-health'),
		healthText: $('server-health-text'),
		tally: $('stream-state'),
		tallyText: $('stream-state-text'),
		previewFrame: $('preview-frame'),
		previewImage: $('preview-image'),
		previewPlaceholder: $('preview-placeholder'),
		previewBadge: $('preview-badge'),
		previewInfo: $('preview-info'),
		layoutFieldset: $('layout-fieldset'),
		audioSource: $('audio-source'),
		settingsForm: $('settings-form'),
		layoutForm: $('layout-form'),
		encodingFieldset: $('encoding-fieldset'),
		srtFieldset: $('srt-fieldset'),
		videoBitrate: $('video-bitrate'),
		audioBitrate: $('audio-bitrate'),
		codec: $('codec'),
		hostPort: $('srt-host-port'),
		streamId: $('srt-stream-id'),
		latency: $('srt-latency'),
		passphrase: $('srt-passphrase'),
		passphraseToggle: $('passphrase-toggle'),
		startButton: $('start-button'),
		stopButton: $('stop-button'),
		message: $('message'),
		activity: $('activity-log'),
	};

	const state = {
		config: null,
		// true, false, or null while the server cannot tell
		running: null,
		serverReachable: null,
		// a start or stop request is on its way
		busy: false,
		// counts finished start and stop requests, so that a status answer
		// that was sent before one of them is not taken for the newer state
		actionCount: 0,
		stopRequested: false,
		// audio source of a running stream that another client started, whose
		// quadrants may be listed in any order; null when the form decides
		runningMasterSlot: null,
		quadrants: [],
		previewTimer: null,
		previewUrl: null,
		hasPicture: false,
	};

	// ---- Server requests --------------------------------------------------

	async function request(path, options = {}) {
		const controller = new AbortController();
		const timer = setTimeout(() => controller.abort(), REQUEST_TIMEOUT_MS);
		try {
			return await fetch(path, { cache: 'no-store', ...options, signal: controller.signal });
		} finally {
			clearTimeout(timer);
		}
	}

	// Returns { status, body, text, response }; body is null when the answer is not JSON.
	async function requestJson(path, options = {}) {
		const response = await request(path, options);
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

	// ---- Activity log and messages ---------------------------------------

	function timeOfDay(date = new Date()) {
		return date.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false });
	}

	function logActivity(text, kind = 'info') {
		const item = document.createElement('li');
		item.dataset.kind = kind;
		const time = document.createElement('time');
		time.textContent = timeOfDay();
		const words = document.createElement('span');
		words.textContent = text;
		item.append(time, words);
		elements.activity.prepend(item);
		while (elements.activity.children.length > ACTIVITY_LIMIT)
			elements.activity.lastElementChild.remove();
	}

	function clearFieldMarks() {
		for (const marked of document.querySelectorAll('[aria-invalid="true"]'))
			marked.removeAttribute('aria-invalid');
	}

	function showMessage(kind, headline, detail = '', hint = '') {
		const box = elements.message;
		box.replaceChildren();
		box.dataset.kind = kind;
		const strong = document.createElement('strong');
		strong.textContent = headline;
		box.append(strong);
		if (detail) {
			const detailLine = document.createElement('span');
			detailLine.className = 'message-detail';
			detailLine.textContent = detail;
			box.append(detailLine);
		}
		if (hint) {
			const hintLine = document.createElement('span');
			hintLine.className = 'message-hint';
			hintLine.textContent = hint;
			box.append(hintLine);
		}
		box.hidden = false;
	}

	function clearMessage() {
		elements.message.hidden = true;
		elements.message.replaceChildren();
		clearFieldMarks();
	}

	// Marks the field a server message names and returns a hint for it.
	function hintFor(serverMessage) {
		const match = FIELD_HINTS.find((entry) => serverMessage.includes(entry.key));
		if (!match)
			return '';
		if (match.element) {
			const field = $(match.element);
			field.setAttribute('aria-invalid', 'true');
			if (!field.disabled)
				field.focus();
		}
		return match.hint;
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
			source.id = `quadrant-${id}-source`;
			name.id = `quadrant-${id}-name`;
			name.placeholder = `Quadrant ${id}`;
			cell.querySelector('[data-for="source"]').htmlFor = source.id;
			cell.querySelector('[data-for="name"]').htmlFor = name.id;
			source.setAttribute('aria-label', `Input of quadrant ${id}, ${POSITIONS[slot].toLowerCase()}`);
			name.setAttribute('aria-label', `Name of quadrant ${id}`);
			elements.layoutFieldset.append(cell);
			state.quadrants.push({ cell, source, name, badge: cell.querySelector('.audio-badge') });
		}
	}

	function deviceLabel(device) {
		return device.status && device.status !== 'available' ? `${device.name} (${device.status})` : device.name;
	}

	function applyConfig(config) {
		state.config = config;
		const { name, version } = splitTitle(config.project && config.project.title ? config.project.title : '');
		if (name)
			elements.title.textContent = name;
		elements.version.textContent = version;
		elements.version.hidden = !version;
		document.title = version ? `${name} ${version}` : (name || document.title);

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
		fillOptions(elements.videoBitrate, encoding.videoBitrates || [], (entry) => entry.title);
		fillOptions(elements.audioBitrate, encoding.audioBitrates || [], (entry) => entry.title);
		fillOptions(elements.codec, encoding.codecs || [], (entry) => entry.title);

		restoreSettings();
		updateLayoutSummary();
		updateControls();
		if (state.running === true)
			showRunningSettings();
		logActivity(devices.length === 1 ? 'Configuration loaded: 1 input' : `Configuration loaded: ${devices.length} inputs`);
	}

	async function loadConfig() {
		try {
			const answer = await requestJson('/api/config');
			if (answer.status !== 200 || !answer.body || typeof answer.body !== 'object')
				throw new Error(describeFailure(answer));
			applyConfig(answer.body);
			if (elements.message.dataset.kind === 'config')
				clearMessage();
		} catch (error) {
			const reason = error instanceof TypeError || error.name === 'AbortError' ? describeNetworkError(error) : error.message;
			showMessage('config', 'The encoder configuration could not be read.', reason, 'Retrying…');
			elements.message.dataset.kind = 'config';
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
			codec: entryAt(encoding.codecs || [], elements.codec)?.value,
			srtHostPort: elements.hostPort.value,
			srtStreamId: elements.streamId.value,
			srtLatency: elements.latency.value,
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
		selectByValue(elements.codec, encoding.codecs || [], settings.codec);
		if (typeof settings.srtHostPort === 'string')
			elements.hostPort.value = settings.srtHostPort;
		if (typeof settings.srtStreamId === 'string')
			elements.streamId.value = settings.srtStreamId;
		if (typeof settings.srtLatency === 'string' && settings.srtLatency !== '')
			elements.latency.value = settings.srtLatency;
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
		state.quadrants.forEach((quadrant, slot) => {
			const item = bySlot.get(slot);
			quadrant.source.value = item && known.has(item.source_id) ? item.source_id : '';
			const name = item && typeof item.name === 'string' ? item.name : '';
			quadrant.name.value = name === `Quadrant ${slot + 1}` ? '' : name;
		});
		selectByValue(elements.videoBitrate, encoding.videoBitrates || [], workerConfig.video_bitrate);
		selectByValue(elements.audioBitrate, encoding.audioBitrates || [], workerConfig.audio_bitrate);
		selectByValue(elements.codec, encoding.codecs || [], workerConfig.codec);
		const srt = workerConfig.srt && typeof workerConfig.srt === 'object' ? workerConfig.srt : {};
		if (typeof srt.host_port === 'string')
			elements.hostPort.value = srt.host_port;
		if (typeof srt.streamid === 'string')
			elements.streamId.value = srt.streamid;
		if (Number.isInteger(srt.latency))
			elements.latency.value = String(srt.latency);
		updateLayoutSummary();
	}

	async function showRunningSettings() {
		try {
			const answer = await requestJson('/api/worker/config');
			if (answer.status !== 200 || !answer.body || typeof answer.body !== 'object' || state.running !== true)
				return;
			applyWorkerConfig(answer.body);
			logActivity('A stream is running: the form shows its settings');
		} catch (error) {
			// The form keeps this browser's choices; the status poll reports the server.
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

	function updateLayoutSummary() {
		const master = masterSlot();
		const used = new Map();
		state.quadrants.forEach((quadrant, slot) => {
			const chosen = quadrant.source.value !== '';
			quadrant.cell.dataset.empty = chosen ? 'false' : 'true';
			quadrant.cell.dataset.master = slot === master ? 'true' : 'false';
			quadrant.badge.hidden = slot !== master;
			if (chosen)
				used.set(quadrant.source.value, (used.get(quadrant.source.value) || 0) + 1);
		});
		for (const label of document.querySelectorAll('.tile-labels span')) {
			const slot = Number(label.dataset.slot);
			const quadrant = state.quadrants[slot];
			label.textContent = quadrant.source.value !== '' ? `Q${slot + 1} · ${quadrantName(quadrant, slot)}` : `Q${slot + 1} · Empty`;
			label.dataset.master = slot === master ? 'true' : 'false';
		}
		const repeated = [...used.values()].some((count) => count > 1);
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
	}

	// ---- Start and stop ------------------------------------------------------

	// Builds the stream start request from the form; returns { request } or { problem, element }.
	function buildStartRequest() {
		const encoding = state.config.encoding || {};
		const quadrants = [];
		state.quadrants.forEach((quadrant, slot) => {
			if (quadrant.source.value !== '')
				quadrants.push({ id: slot + 1, name: quadrantName(quadrant, slot), source_id: quadrant.source.value });
		});
		if (quadrants.length === 0)
			return { problem: 'Choose an input for at least one quadrant.', element: 'quadrant-1-source' };

		const latencyText = elements.latency.value.trim();
		let latency = DEFAULT_LATENCY_MS;
		if (latencyText !== '') {
			if (!/^-?\d+$/.test(latencyText))
				return { problem: 'Enter the latency as a whole number of milliseconds.', element: 'srt-latency' };
			latency = Number(latencyText);
		}

		const passphrase = elements.passphrase.value;
		if (passphrase !== '' && (passphrase.length < 10 || passphrase.length > 79))
			return { problem: 'An SRT passphrase has 10 to 79 characters; leave it empty for an unencrypted stream.', element: 'srt-passphrase' };

		return {
			request: {
				srtHostPort: elements.hostPort.value.trim(),
				srtStreamId: elements.streamId.value.trim(),
				srtPassphrase: passphrase,
				srtLatency: latency,
				videoBitrate: entryAt(encoding.videoBitrates || [], elements.videoBitrate)?.value,
				audioBitrate: entryAt(encoding.audioBitrates || [], elements.audioBitrate)?.value,
				codec: entryAt(encoding.codecs || [], elements.codec)?.value,
				quadrants,
			},
		};
	}

	async function startStream() {
		if (!state.config || state.busy)
			return;
		clearMessage();
		const built = buildStartRequest();
		if (built.problem) {
			showMessage('error', 'The stream was not started.', built.problem);
			const field = $(built.element);
			field.setAttribute('aria-invalid', 'true');
			field.focus();
			return;
		}
		state.busy = true;
		state.stopRequested = false;
		updateControls();
		logActivity(`Start requested: ${built.request.quadrants.length} of 4 quadrants to ${built.request.srtHostPort || '(no destination)'}`);
		try {
			const answer = await requestJson('/api/stream/start', {
				method: 'POST',
				headers: { 'Content-Type': 'application/json' },
				body: JSON.stringify(built.request),
			});
			if (answer.status === 200) {
				state.running = true;
				showMessage('info', 'Stream started.', `Calling srt://${built.request.srtHostPort}`);
				logActivity('Stream started', 'good');
			} else {
				const reason = describeFailure(answer);
				showMessage('error', 'The encoder refused to start.', reason, hintFor(reason));
				logActivity(`Start refused: ${reason}`, 'error');
			}
		} catch (error) {
			const reason = describeNetworkError(error);
			showMessage('error', 'The stream was not started.', `The start request failed: ${reason}.`);
			logActivity(`Start request failed: ${reason}`, 'error');
		} finally {
			state.busy = false;
			state.actionCount++;
			updateControls();
		}
	}

	async function stopStream() {
		if (state.busy)
			return;
		clearMessage();
		state.busy = true;
		state.stopRequested = true;
		updateControls();
		logActivity('Stop requested');
		try {
			const answer = await requestJson('/api/stream/stop', { method: 'POST' });
			if (answer.status === 200 && answer.body && answer.body.status === 'not_running') {
				state.running = false;
				showMessage('info', 'The encoder was not running.', answer.body.message || '');
				logActivity('Stop: the encoder was not running');
			} else if (answer.status === 200) {
				state.running = false;
				showMessage('info', 'Stream stopped.');
				logActivity('Stream stopped');
			} else {
				const reason = describeFailure(answer);
				state.stopRequested = false;
				showMessage('error', 'The stream could not be stopped.', reason);
				logActivity(`Stop failed: ${reason}`, 'error');
			}
		} catch (error) {
			const reason = describeNetworkError(error);
			state.stopRequested = false;
			showMessage('error', 'The stream could not be stopped.', `The stop request failed: ${reason}.`);
			logActivity(`Stop request failed: ${reason}`, 'error');
		} finally {
			state.busy = false;
			state.actionCount++;
			updateControls();
		}
	}

	// ---- Status and health ---------------------------------------------------

	function setServerReachable(reachable) {
		if (state.serverReachable === reachable)
			return;
		const before = state.serverReachable;
		state.serverReachable = reachable;
		elements.health.dataset.state = reachable ? 'ok' : 'down';
		elements.healthText.textContent = reachable ? 'Server online' : 'Server unreachable';
		if (reachable && before === false)
			logActivity('Server reachable again', 'good');
		else if (!reachable)
			logActivity('Server unreachable', 'error');
	}

	function setRunning(running) {
		const before = state.running;
		state.running = running;
		if (before === true && running === false && !state.stopRequested) {
			showMessage('warning', 'The stream has stopped.',
				'It was not stopped from this page: the media worker ended, or another client stopped it. The worker\'s messages are on the server console.');
			logActivity('Stream stopped without a stop request from this page', 'error');
		}
		if (running === true)
			state.stopRequested = false;
		if (running !== true && state.runningMasterSlot !== null) {
			state.runningMasterSlot = null;
			updateLayoutSummary();
		}
		updateControls();
		// A start from this page sets the state itself; any other start shows up here.
		if (before !== true && running === true && state.config !== null)
			showRunningSettings();
	}

	async function pollStatus() {
		const countAtSend = state.actionCount;
		try {
			const answer = await requestJson('/api/stream/status');
			if (answer.status !== 200 || !answer.body || typeof answer.body.running !== 'boolean')
				throw new Error(describeFailure(answer));
			setServerReachable(true);
			if (!state.busy && countAtSend === state.actionCount)
				setRunning(answer.body.running);
		} catch (error) {
			setServerReachable(false);
			if (!state.busy && countAtSend === state.actionCount)
				setRunning(null);
		} finally {
			setTimeout(pollStatus, STATUS_INTERVAL_MS);
		}
	}

	async function pollHealth() {
		try {
			const answer = await requestJson('/api/health');
			setServerReachable(answer.status === 200 && answer.body && answer.body.status === 'ok');
		} catch (error) {
			setServerReachable(false);
		} finally {
			setTimeout(pollHealth, HEALTH_INTERVAL_MS);
		}
	}

	function updateControls() {
		const running = state.running;
		const ready = state.config !== null && !state.busy;
		elements.startButton.disabled = !(ready && running === false);
		elements.stopButton.disabled = !(ready && running === true);
		// The settings of a running stream cannot change: lock them until it stops.
		const locked = running === true || state.busy;
		elements.layoutFieldset.disabled = locked;
		elements.encodingFieldset.disabled = locked;
		elements.srtFieldset.disabled = locked;

		let tally = 'unknown';
		let text = 'No status';
		if (state.busy) {
			tally = 'busy';
			text = state.stopRequested ? 'Stopping…' : 'Starting…';
		} else if (running === true) {
			tally = 'live';
			text = 'On air';
		} else if (running === false) {
			tally = 'idle';
			text = 'Stopped';
		}
		elements.tally.dataset.state = tally;
		elements.tallyText.textContent = text;
		document.body.dataset.stream = tally;
		elements.previewFrame.dataset.live = running === true ? 'true' : 'false';

		if (running === true)
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
		elements.previewBadge.hidden = state.running === true;
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
			// The status poll reports an unreachable server; the picture stays.
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
		updateLayoutSummary();
		saveSettings();
	}

	function init() {
		buildQuadrants();
		elements.layoutForm.addEventListener('input', onSettingsChanged);
		elements.layoutForm.addEventListener('change', onSettingsChanged);
		elements.settingsForm.addEventListener('input', onSettingsChanged);
		elements.settingsForm.addEventListener('change', onSettingsChanged);
		// Going on air takes a press of the Start button, never an Enter key in a field.
		elements.layoutForm.addEventListener('submit', (event) => event.preventDefault());
		elements.settingsForm.addEventListener('submit', (event) => event.preventDefault());
		elements.startButton.addEventListener('click', startStream);
		elements.stopButton.addEventListener('click', stopStream);
		elements.passphraseToggle.addEventListener('click', () => {
			const show = elements.passphrase.type === 'password';
			elements.passphrase.type = show ? 'text' : 'password';
			elements.passphraseToggle.textContent = show ? 'Hide' : 'Show';
			elements.passphraseToggle.setAttribute('aria-pressed', show ? 'true' : 'false');
		});
		elements.latency.placeholder = String(DEFAULT_LATENCY_MS);

		updateControls();
		loadConfig();
		pollStatus();
		pollHealth();
	}

	init();
})();
