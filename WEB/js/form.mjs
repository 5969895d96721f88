// The operator's choices: the 2x2 layout (an input and a name per quadrant),
// the encoding and the SRT destination. The form fills its lists from the
// server's configuration, brings back stored choices, shows a running
// stream's own settings, checks what was entered (as it is typed: each field
// says what is wrong with it, and Start waits with a reason) and builds the
// stream start request from it.
import { EXAMPLE_DESTINATION, joinWords, SOFTWARE_CODEC, SRT_LATENCY_MAX_MS } from './format.mjs';

const DEFAULT_LATENCY_MS = 120;
// A first visit's video bitrate, and the one a stored choice falls back to
// when the server no longer offers it: the lowest it offered before it offered
// bitrates for thin links, so that these are chosen, never given by default.
const DEFAULT_VIDEO_BITRATE_MBPS = 8;
const POSITIONS = ['Top left', 'Top right', 'Bottom left', 'Bottom right'];
// The limits the server checks, which are SRT's; it gives them in its
// configuration ("limits"), and these stand in until that came.
const SRT_LIMITS = {
	srtHostNameMaxLength: 253,
	srtPortMin: 1,
	srtPortMax: 65535,
	srtLatencyMaxMs: SRT_LATENCY_MAX_MS,
	srtStreamIdMaxBytes: 512,
	srtPassphraseMinLength: 10,
	srtPassphraseMaxLength: 79,
	srtMaxCallersMax: 16,
};
const DEFAULT_MAX_CALLERS = 4;
const HOST_NAME = /^[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?(\.[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?)*\.?$/;

// The receiver's address as host:port; returns { hostPort } or { problem }.
function checkDestination(text, limits) {
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
		if (host.length > limits.srtHostNameMaxLength)
			return { problem: `A host name has at most ${limits.srtHostNameMaxLength} characters.` };
		if (!HOST_NAME.test(host))
			return { problem: `"${host}" is neither a host name nor an IP address.` };
		if (/^\d+(\.\d+){3}$/.test(host) && host.split('.').some((part) => Number(part) > 255))
			return { problem: `"${host}" is not an IP address: each of its four numbers is 0 to 255.` };
	}
	if (port === undefined || port === '')
		return { problem: `Add the receiver's port after the host, for example ${host}:9000.` };
	if (!/^\d+$/.test(port) || Number(port) < limits.srtPortMin || Number(port) > limits.srtPortMax)
		return { problem: `The port "${port}" is not a port number: a port is a number from ${limits.srtPortMin} to ${limits.srtPortMax}.` };
	return { hostPort: `${host}:${Number(port)}` };
}

// The latency field: { latency } in ms (the default when empty) or { problem }.
function checkLatency(text, limits) {
	const value = text.trim();
	if (value === '')
		return { latency: DEFAULT_LATENCY_MS };
	if (!/^\d+$/.test(value))
		return { problem: `Latency takes digits only: a whole number of milliseconds, such as ${DEFAULT_LATENCY_MS}.` };
	const latency = Number(value);
	if (latency > limits.srtLatencyMaxMs)
		return { problem: `SRT takes a latency of 0 to ${limits.srtLatencyMaxMs} ms: enter milliseconds, such as 120 or 2000.` };
	return { latency };
}

// The stream ID field: a problem, or null.
// A listener's list of stream ids, separated by commas: { ids } or { problem }.
function checkAllowedStreamIds(text, limits) {
	const ids = text.split(',').map((id) => id.trim()).filter((id) => id !== '');
	for (const id of ids) {
		const problem = checkStreamId(id, limits);
		if (problem)
			return { problem: `"${id.slice(0, 40)}": ${problem}` };
	}
	return { ids };
}

// How many receivers a listener takes: { count } or { problem }.
function checkMaxCallers(text, limits) {
	const value = text.trim();
	const highest = limits.srtMaxCallersMax;
	if (value === '')
		return { count: DEFAULT_MAX_CALLERS };
	if (!/^\d+$/.test(value) || Number(value) < 1 || Number(value) > highest)
		return { problem: `Enter how many receivers may call in at once: a whole number from 1 to ${highest}.` };
	return { count: Number(value) };
}

function checkStreamId(text, limits) {
	const value = text.trim();
	if (/[\u0000-\u001f\u007f]/.test(value))
		return 'The stream ID cannot contain control characters.';
	if (new TextEncoder().encode(value).length > limits.srtStreamIdMaxBytes)
		return `The stream ID is too long: SRT allows at most ${limits.srtStreamIdMaxBytes} bytes.`;
	return null;
}

function decodeParameter(text) {
	try {
		return decodeURIComponent(text);
	} catch (error) {
		return text;
	}
}

// The software encoder first: it works on every machine, so a first start does.
function orderCodecs(codecs) {
	return [...codecs].sort((a, b) => (a.value === SOFTWARE_CODEC ? -1 : 0) - (b.value === SOFTWARE_CODEC ? -1 : 0));
}

function deviceLabel(device) {
	return device.status && device.status !== 'available' ? `${device.name} (${device.status})` : device.name;
}

function fillOptions(select, entries, label, usable = () => true) {
	select.replaceChildren();
	entries.forEach((entry, index) => {
		const option = document.createElement('option');
		option.value = String(index);
		option.textContent = label(entry);
		option.disabled = !usable(entry);
		select.append(option);
	});
}

// An encoder the server found this machine cannot open; one it could not ask about is offered.
function codecUsable(entry) {
	return entry.available !== false;
}

function codecLabel(entry) {
	return codecUsable(entry) ? entry.title : `${entry.title} (not available on this machine)`;
}

// Selects the entry of that value; without one, the entry of the fallback value, else the first.
function selectByValue(select, entries, value, fallback) {
	let index = entries.findIndex((entry) => entry.value === value);
	if (index < 0 && fallback !== undefined)
		index = Math.max(0, entries.findIndex((entry) => entry.value === fallback));
	if (index >= 0 && index < entries.length)
		select.value = String(index);
}

function entryAt(entries, select) {
	const index = Number(select.value);
	return Number.isInteger(index) && index >= 0 && index < entries.length ? entries[index] : undefined;
}

// The channels an input has, two by two: pair p is channels 2p - 1 and 2p.
// An input the server says nothing of has two.
function pairCount(device) {
	const channels = device && Number.isInteger(device.audioChannels) ? device.audioChannels : 2;
	return Math.max(1, Math.floor(channels / 2));
}

export class StreamForm {
	// onChange(): a choice changed; onAddressTakenApart(fields): a pasted
	// srt:// address went into the fields named.
	constructor(document, callbacks) {
		const $ = (id) => document.getElementById(id);
		this.document = document;
		this.layoutForm = $('layout-form');
		this.settingsForm = $('settings-form');
		this.encodingForm = $('encoding-form');
		this.audioSource = $('audio-source');
		this.videoBitrate = $('video-bitrate');
		this.adaptiveBitrate = $('adaptive-bitrate');
		this.record = $('record');
		this.audioBitrate = $('audio-bitrate');
		this.codec = $('codec');
		this.audioChannels = $('audio-channels');
		this.audioChannelsHint = $('audio-channels-hint');
		this.hostPort = $('srt-host-port');
		this.streamId = $('srt-stream-id');
		this.latency = $('srt-latency');
		this.passphrase = $('srt-passphrase');
		this.passphraseToggle = $('passphrase-toggle');
		this.reconnect = $('srt-reconnect');
		this.mode = $('srt-mode');
		this.modeHint = $('srt-mode-hint');
		this.hostPortLabel = $('srt-host-port-label');
		this.hostPortHint = $('srt-host-port-hint');
		this.maxCallers = $('srt-max-callers');
		this.allowedStreamIds = $('srt-allowed-stream-ids');
		this.callerOnly = [...document.querySelectorAll('.caller-only')];
		this.listenerOnly = [...document.querySelectorAll('.listener-only')];
		this.config = null;
		// The codec table with the software encoder first.
		this.codecs = [];
		// The pair of channels chosen for each master input, by input id (pair 1 is channels 1 and 2).
		this.audioPairs = {};
		// Audio source and channels of a running stream that another client
		// started (its quadrants may be listed in any order, its channels
		// [left, right]); null when the form decides.
		this.runningMasterSlot = null;
		this.runningAudioChannels = null;
		this.quadrants = this.buildQuadrants($('quadrant-template'), $('layout-fieldset'));
		// Where each checked field says what is wrong with it, by the field's id.
		this.errors = {
			'srt-host-port': $('srt-host-port-error'),
			'srt-stream-id': $('srt-stream-id-error'),
			'srt-latency': $('srt-latency-error'),
			'srt-passphrase': $('srt-passphrase-error'),
			'srt-max-callers': $('srt-max-callers-error'),
			'srt-allowed-stream-ids': $('srt-allowed-stream-ids-error'),
			'quadrant-1-source': $('layout-error'),
		};
		// The checked fields the operator has edited: only these show their problem.
		this.touched = new Set();
		this.listen(callbacks);
	}

	// The form answers the operator itself: marks go once a field is edited, the
	// summary follows the layout, a pasted address is taken apart.
	listen({ onChange, onAddressTakenApart }) {
		const changed = (event) => {
			if (event.target instanceof HTMLElement && event.target.getAttribute('aria-invalid') === 'true')
				event.target.removeAttribute('aria-invalid');
			const quadrant = this.quadrants.some((candidate) => candidate.source === event.target);
			if (quadrant || event.target === this.audioChannels)
				this.takeOverFromRun();
			if (event.target === this.audioChannels)
				this.onAudioChannelsChosen();
			if (event.target === this.mode)
				this.updateMode();
			this.touched.add(quadrant ? 'quadrant-1-source' : event.target.id);
			this.updateLayoutSummary();
			this.showProblems();
			onChange();
		};
		for (const form of [this.layoutForm, this.settingsForm, this.encodingForm]) {
			form.addEventListener('input', changed);
			form.addEventListener('change', changed);
			// Going on air takes a press of the Start button, never an Enter key in a field.
			form.addEventListener('submit', (event) => event.preventDefault());
		}
		this.hostPort.addEventListener('input', () => {
			const filled = this.takeApartSrtAddress();
			if (filled) {
				onAddressTakenApart(filled);
				onChange();
			}
		});
		this.passphraseToggle.addEventListener('click', () => {
			const show = this.passphrase.type === 'password';
			this.passphrase.type = show ? 'text' : 'password';
			this.passphraseToggle.textContent = show ? 'Hide' : 'Show';
			this.passphraseToggle.setAttribute('aria-label', show ? 'Hide passphrase' : 'Show passphrase');
		});
	}

	listening() {
		return this.mode.value === 'listener';
	}

	// The destination's fields follow who calls whom: a listener binds the
	// address given and takes receivers that call it; a caller has a stream
	// id and may reconnect.
	updateMode() {
		const listening = this.listening();
		for (const element of this.callerOnly)
			element.hidden = listening;
		for (const element of this.listenerOnly)
			element.hidden = !listening;
		this.modeHint.hidden = !listening;
		this.hostPortLabel.textContent = listening ? 'Listen on host:port' : 'Receiver host:port';
		this.hostPortHint.textContent = listening
			? 'The address and port that receivers call: 0.0.0.0:9000 for every IPv4 address of this machine, [::]:9000 for every IPv6 one.'
			: 'host:port, e.g. 203.0.113.10:9000, the SRT listener that the encoder calls. A pasted srt:// address fills the fields.';
	}

	buildQuadrants(template, fieldset) {
		return POSITIONS.map((position, slot) => {
			const id = slot + 1;
			const cell = template.content.firstElementChild.cloneNode(true);
			cell.dataset.slot = String(slot);
			cell.querySelector('.quadrant-number').textContent = `Q${id}`;
			cell.querySelector('.quadrant-position').textContent = position;
			const source = cell.querySelector('[data-role="source"]');
			const name = cell.querySelector('[data-role="name"]');
			const signal = cell.querySelector('[data-role="signal"]');
			source.id = `quadrant-${id}-source`;
			name.id = `quadrant-${id}-name`;
			signal.id = `quadrant-${id}-signal`;
			name.placeholder = `Quadrant ${id}`;
			cell.querySelector('[data-for="source"]').htmlFor = source.id;
			cell.querySelector('[data-for="name"]').htmlFor = name.id;
			source.setAttribute('aria-label', `Input of quadrant ${id}, ${position.toLowerCase()}`);
			source.setAttribute('aria-describedby', `${signal.id} layout-error`);
			name.setAttribute('aria-label', `Name of quadrant ${id}`);
			fieldset.append(cell);
			const label = this.document.querySelector(`.tile-labels span[data-slot="${slot}"]`);
			return {
				cell, source, name, signal,
				badge: cell.querySelector('.audio-badge'),
				tileName: label.querySelector('b'),
				tileSignal: label.querySelector('i'),
				tile: label,
			};
		});
	}

	// The server's tables, then the stored choices (or, on a first visit, one input per quadrant).
	setConfig(config, stored) {
		this.config = config;
		const devices = this.devices();
		for (const quadrant of this.quadrants) {
			quadrant.source.replaceChildren();
			const empty = this.document.createElement('option');
			empty.value = '';
			empty.textContent = 'Empty';
			quadrant.source.append(empty);
			for (const device of devices) {
				const option = this.document.createElement('option');
				option.value = device.id;
				option.textContent = deviceLabel(device);
				quadrant.source.append(option);
			}
		}
		const encoding = this.encoding();
		this.codecs = orderCodecs(Array.isArray(encoding.codecs) ? encoding.codecs : []);
		fillOptions(this.videoBitrate, encoding.videoBitrates || [], (entry) => entry.title);
		fillOptions(this.audioBitrate, encoding.audioBitrates || [], (entry) => entry.title);
		fillOptions(this.codec, this.codecs, codecLabel, codecUsable);
		this.restore(stored);
		this.updateLayoutSummary();
	}

	devices() {
		return this.config && Array.isArray(this.config.devices) ? this.config.devices : [];
	}

	encoding() {
		return (this.config && this.config.encoding) || {};
	}

	limits() {
		return { ...SRT_LIMITS, ...(this.config && this.config.limits) };
	}

	restore(settings) {
		const encoding = this.encoding();
		const devices = this.devices();
		const known = new Set(devices.map((device) => device.id));
		if (!settings) {
			this.quadrants.forEach((quadrant, slot) => {
				quadrant.source.value = slot < devices.length ? devices[slot].id : '';
			});
			selectByValue(this.videoBitrate, encoding.videoBitrates || [], DEFAULT_VIDEO_BITRATE_MBPS, DEFAULT_VIDEO_BITRATE_MBPS);
			return;
		}
		this.quadrants.forEach((quadrant, slot) => {
			const stored = Array.isArray(settings.quadrants) ? settings.quadrants[slot] : null;
			const source = stored && typeof stored.source === 'string' ? stored.source : '';
			quadrant.source.value = known.has(source) ? source : '';
			quadrant.name.value = stored && typeof stored.name === 'string' ? stored.name : '';
		});
		selectByValue(this.videoBitrate, encoding.videoBitrates || [], settings.videoBitrate, DEFAULT_VIDEO_BITRATE_MBPS);
		selectByValue(this.audioBitrate, encoding.audioBitrates || [], settings.audioBitrate);
		selectByValue(this.codec, this.codecs, settings.codec);
		// A choice kept from a machine that had the encoder gives way to one this machine has.
		if (!codecUsable(entryAt(this.codecs, this.codec) || {}))
			selectByValue(this.codec, this.codecs, this.codecs.find(codecUsable)?.value);
		if (typeof settings.srtHostPort === 'string')
			this.hostPort.value = settings.srtHostPort;
		if (typeof settings.srtStreamId === 'string')
			this.streamId.value = settings.srtStreamId;
		if (typeof settings.srtLatency === 'string' && settings.srtLatency !== '')
			this.latency.value = settings.srtLatency;
		if (typeof settings.srtReconnect === 'boolean')
			this.reconnect.checked = settings.srtReconnect;
		this.mode.value = settings.srtMode === 'listener' ? 'listener' : 'caller';
		if (typeof settings.srtMaxCallers === 'string')
			this.maxCallers.value = settings.srtMaxCallers;
		if (typeof settings.srtAllowedStreamIds === 'string')
			this.allowedStreamIds.value = settings.srtAllowedStreamIds;
		this.updateMode();
		if (typeof settings.adaptiveBitrate === 'boolean')
			this.adaptiveBitrate.checked = settings.adaptiveBitrate;
		this.audioPairs = {};
		if (settings.audioPairs && typeof settings.audioPairs === 'object') {
			for (const [id, pair] of Object.entries(settings.audioPairs)) {
				if (known.has(id) && Number.isInteger(pair) && pair >= 1)
					this.audioPairs[id] = pair;
			}
		}
	}

	// What is kept in the browser, the passphrase excepted; null before the server's tables came.
	choices() {
		if (!this.config)
			return null;
		const encoding = this.encoding();
		return {
			quadrants: this.quadrants.map((quadrant) => ({ source: quadrant.source.value, name: quadrant.name.value })),
			videoBitrate: entryAt(encoding.videoBitrates || [], this.videoBitrate)?.value,
			audioBitrate: entryAt(encoding.audioBitrates || [], this.audioBitrate)?.value,
			audioPairs: this.audioPairs,
			codec: entryAt(this.codecs, this.codec)?.value,
			srtHostPort: this.hostPort.value,
			srtStreamId: this.streamId.value,
			srtLatency: this.latency.value,
			srtReconnect: this.reconnect.checked,
			srtMode: this.mode.value,
			srtMaxCallers: this.maxCallers.value,
			srtAllowedStreamIds: this.allowedStreamIds.value,
			adaptiveBitrate: this.adaptiveBitrate.checked,
		};
	}

	// A stream this page did not start (another client, or before a reload):
	// the form shows what the worker was given, not this browser's choices.
	// Returns the receiver as host:port, or null if the document names none.
	showRunning(workerConfig) {
		const encoding = this.encoding();
		const known = new Set(this.devices().map((device) => device.id));
		const listed = Array.isArray(workerConfig.quadrants) ? workerConfig.quadrants : [];
		const bySlot = new Map();
		for (const item of listed) {
			if (item && Number.isInteger(item.id) && item.id >= 1 && item.id <= 4 && !bySlot.has(item.id - 1))
				bySlot.set(item.id - 1, item);
		}
		// The worker takes audio and timing from the first listed quadrant that has a source.
		const master = listed.find((item) =>
			item && typeof item.source_name === 'string' && item.source_name !== '' && bySlot.get(item.id - 1) === item);
		this.runningMasterSlot = master ? master.id - 1 : null;
		const channels = workerConfig.audio_channels;
		this.runningAudioChannels = Array.isArray(channels) && channels.length === 2 && channels.every(Number.isInteger)
			? channels : [1, 2];
		this.quadrants.forEach((quadrant, slot) => {
			const item = bySlot.get(slot);
			quadrant.source.value = item && known.has(item.source_id) ? item.source_id : '';
			const name = item && typeof item.name === 'string' ? item.name : '';
			quadrant.name.value = name === `Quadrant ${slot + 1}` ? '' : name;
		});
		selectByValue(this.videoBitrate, encoding.videoBitrates || [], workerConfig.video_bitrate);
		selectByValue(this.audioBitrate, encoding.audioBitrates || [], workerConfig.audio_bitrate);
		selectByValue(this.codec, this.codecs, workerConfig.codec);
		const srt = workerConfig.srt && typeof workerConfig.srt === 'object' ? workerConfig.srt : {};
		let peer = null;
		if (typeof srt.host_port === 'string') {
			this.hostPort.value = srt.host_port;
			peer = srt.host_port;
		}
		if (typeof srt.streamid === 'string')
			this.streamId.value = srt.streamid;
		if (Number.isInteger(srt.latency))
			this.latency.value = String(srt.latency);
		this.reconnect.checked = workerConfig.srt_reconnect === true;
		this.mode.value = workerConfig.srt_mode === 'listener' ? 'listener' : 'caller';
		if (Number.isInteger(workerConfig.srt_max_callers))
			this.maxCallers.value = String(workerConfig.srt_max_callers);
		this.allowedStreamIds.value = Array.isArray(workerConfig.srt_allowed_stream_ids)
			? workerConfig.srt_allowed_stream_ids.filter((id) => typeof id === 'string').join(', ') : '';
		this.updateMode();
		this.adaptiveBitrate.checked = workerConfig.adaptive_bitrate === true;
		this.record.checked = workerConfig.record === true;
		this.updateLayoutSummary();
		return peer;
	}

	// The run another client started has ended: the form decides again.
	stopShowingRunning() {
		if (this.runningMasterSlot === null && this.runningAudioChannels === null)
			return;
		this.runningMasterSlot = null;
		this.runningAudioChannels = null;
		this.updateLayoutSummary();
	}

	// An operator who changes the inputs or the channels of a run started
	// elsewhere prepares the next run: the master and its channels follow the
	// form from then on, the channels shown kept as this input's choice.
	takeOverFromRun() {
		if (this.runningMasterSlot === null && this.runningAudioChannels === null)
			return;
		const master = this.runningMasterSlot;
		const [left] = this.chosenAudioChannels();
		if (master !== null && left % 2 === 1)
			this.audioPairs[this.quadrants[master].source.value] = (left + 1) / 2;
		this.stopShowingRunning();
	}

	// Marks each field whose value differs from the settings on air (the
	// worker configuration of the run; null while none runs). The passphrase
	// is not among them: the server does not tell it.
	markNotOnAir(workerConfig) {
		const differing = new Set(workerConfig ? this.fieldsNotOnAir(workerConfig) : []);
		for (const field of this.markableFields()) {
			const id = `${field.id}-not-on-air`;
			let mark = this.document.getElementById(id);
			const described = (field.getAttribute('aria-describedby') || '').split(' ').filter((word) => word && word !== id);
			if (differing.has(field)) {
				if (!mark) {
					mark = this.document.createElement('span');
					mark.id = id;
					mark.className = 'not-on-air';
					mark.textContent = 'not on air: changed here';
					const place = field.closest('.field');
					if (place)
						place.append(mark);
					else
						field.after(mark);
				}
				described.push(id);
			} else if (mark) {
				mark.remove();
			}
			if (described.length)
				field.setAttribute('aria-describedby', described.join(' '));
			else
				field.removeAttribute('aria-describedby');
		}
	}

	markableFields() {
		return [
			...this.quadrants.flatMap((quadrant) => [quadrant.source, quadrant.name]),
			this.hostPort, this.streamId, this.latency, this.reconnect,
			this.videoBitrate, this.adaptiveBitrate, this.audioBitrate, this.codec, this.audioChannels,
		];
	}

	// The fields that do not hold what the run holds, compared as the form
	// would show the run (see showRunning) and as a start would send them.
	fieldsNotOnAir(workerConfig) {
		const encoding = this.encoding();
		const known = new Set(this.devices().map((device) => device.id));
		const listed = Array.isArray(workerConfig.quadrants) ? workerConfig.quadrants : [];
		const srt = workerConfig.srt && typeof workerConfig.srt === 'object' ? workerConfig.srt : {};
		const text = (value) => (typeof value === 'string' ? value : '');
		const differing = [];
		this.quadrants.forEach((quadrant, slot) => {
			const item = listed.find((candidate) => candidate && candidate.id === slot + 1);
			const source = item && known.has(item.source_id) ? item.source_id : '';
			if (quadrant.source.value !== source)
				differing.push(quadrant.source);
			const plain = (name) => (name.trim() === `Quadrant ${slot + 1}` ? '' : name.trim());
			if (plain(quadrant.name.value) !== plain(item ? text(item.name) : ''))
				differing.push(quadrant.name);
		});
		const latency = this.latency.value.trim() === '' ? 120 : Number(this.latency.value.trim());
		const channels = Array.isArray(workerConfig.audio_channels) ? workerConfig.audio_channels : [1, 2];
		const pairs = [
			[this.hostPort, this.hostPort.value.trim() === text(srt.host_port)],
			[this.streamId, this.streamId.value.trim() === text(srt.streamid)],
			[this.latency, latency === srt.latency],
			[this.reconnect, this.reconnect.checked === (workerConfig.srt_reconnect === true)],
			[this.videoBitrate, entryAt(encoding.videoBitrates || [], this.videoBitrate)?.value === workerConfig.video_bitrate],
			[this.adaptiveBitrate, this.adaptiveBitrate.checked === (workerConfig.adaptive_bitrate === true)],
			[this.audioBitrate, entryAt(encoding.audioBitrates || [], this.audioBitrate)?.value === workerConfig.audio_bitrate],
			[this.codec, entryAt(this.codecs, this.codec)?.value === workerConfig.codec],
			[this.audioChannels, this.chosenAudioChannels().join(',') === channels.join(',')],
		];
		for (const [field, same] of pairs) {
			if (!same)
				differing.push(field);
		}
		return differing;
	}

	quadrantName(slot) {
		return this.quadrants[slot].name.value.trim() || `Quadrant ${slot + 1}`;
	}

	masterSlot() {
		if (this.runningMasterSlot !== null)
			return this.runningMasterSlot;
		return this.quadrants.findIndex((quadrant) => quadrant.source.value !== '');
	}

	inputTitle(slot) {
		const source = this.quadrants[slot].source;
		return source.selectedOptions[0] ? source.selectedOptions[0].textContent : '';
	}

	// The choice of channels follows the master: each input keeps the pair
	// last chosen for it. A stream started elsewhere shows its own channels.
	updateAudioChannels() {
		const master = this.masterSlot();
		const id = master >= 0 ? this.quadrants[master].source.value : '';
		const device = this.devices().find((candidate) => candidate.id === id);
		const count = pairCount(device);
		const options = [];
		for (let pair = 1; pair <= count; pair++)
			options.push([2 * pair - 1, 2 * pair]);
		let chosen = Math.min(this.audioPairs[id] || 1, count) - 1;
		const running = this.runningAudioChannels;
		if (running) {
			chosen = options.findIndex(([left, right]) => left === running[0] && right === running[1]);
			if (chosen < 0) {
				options.push(running);
				chosen = options.length - 1;
			}
		}
		const wanted = options.map(([left, right]) => `${left} and ${right}`);
		const shown = [...this.audioChannels.options].map((option) => option.textContent);
		if (wanted.join('|') !== shown.join('|')) {
			this.audioChannels.replaceChildren(...wanted.map((text, index) => {
				const option = this.document.createElement('option');
				option.value = `${options[index][0]},${options[index][1]}`;
				option.textContent = text;
				return option;
			}));
		}
		this.audioChannels.selectedIndex = chosen;
		this.audioChannelsHint.textContent = device
			? `Of ${device.name}, the master input, which has ${count * 2} channels.`
			: 'The master input\'s embedded channels that go out as the stereo.';
	}

	chosenAudioChannels() {
		const [left, right] = this.audioChannels.value.split(',').map(Number);
		return Number.isInteger(left) && Number.isInteger(right) ? [left, right] : [1, 2];
	}

	onAudioChannelsChosen() {
		const master = this.masterSlot();
		if (master < 0 || this.runningAudioChannels)
			return;
		const [left] = this.chosenAudioChannels();
		this.audioPairs[this.quadrants[master].source.value] = (left + 1) / 2;
	}

	// Quadrants that share an input, as lists of slots per input.
	sharedInputs() {
		const bySource = new Map();
		this.quadrants.forEach((quadrant, slot) => {
			if (quadrant.source.value === '')
				return;
			if (!bySource.has(quadrant.source.value))
				bySource.set(quadrant.source.value, []);
			bySource.get(quadrant.source.value).push(slot);
		});
		return [...bySource.values()].filter((slots) => slots.length > 1);
	}

	// The quadrants' names and master mark, on the editor and over the preview.
	updateLayoutSummary() {
		const master = this.masterSlot();
		this.quadrants.forEach((quadrant, slot) => {
			const chosen = quadrant.source.value !== '';
			quadrant.cell.dataset.empty = chosen ? 'false' : 'true';
			quadrant.cell.dataset.master = slot === master ? 'true' : 'false';
			quadrant.badge.hidden = slot !== master;
			quadrant.tileName.textContent = chosen ? `Q${slot + 1} · ${this.quadrantName(slot)}` : `Q${slot + 1} · Empty`;
			quadrant.tile.dataset.master = slot === master ? 'true' : 'false';
		});
		const repeated = this.sharedInputs().length > 0;
		if (master < 0) {
			this.audioSource.textContent = 'No input chosen';
			this.audioSource.dataset.kind = 'warning';
		} else {
			let text = `Audio and timing from Q${master + 1} ${this.quadrantName(master)} (${this.inputTitle(master)})`;
			if (repeated)
				text += ' · one input is used in more than one quadrant';
			this.audioSource.textContent = text;
			this.audioSource.dataset.kind = repeated ? 'warning' : 'info';
		}
		this.updateAudioChannels();
	}

	// A pasted srt://host:port?streamid=...&latency=...&passphrase=... goes into
	// its fields; returns the names of the fields filled, or null.
	takeApartSrtAddress() {
		const value = this.hostPort.value.trim();
		const match = /^srt:\/\/([^?#/]*)\/?(?:\?(.*))?$/i.exec(value);
		if (!match)
			return null;
		this.hostPort.value = match[1];
		const filled = ['host:port'];
		for (const parameter of (match[2] || '').split('&')) {
			const equals = parameter.indexOf('=');
			if (equals <= 0)
				continue;
			const name = parameter.slice(0, equals).toLowerCase();
			const content = decodeParameter(parameter.slice(equals + 1));
			if (name === 'streamid') {
				this.streamId.value = content;
				filled.push('stream ID');
			} else if (name === 'latency') {
				this.latency.value = content;
				filled.push('latency');
			} else if (name === 'passphrase') {
				this.passphrase.value = content;
				filled.push('passphrase');
			}
		}
		return filled;
	}

	// What keeps the form from starting a stream, in the order of the page:
	// [{ element, problem, reason }], element being the id of the field to
	// correct, problem the field's own words and reason the short words beside Start.
	problems() {
		const found = [];
		const limits = this.limits();
		const destination = checkDestination(this.hostPort.value, limits);
		if (destination.problem) {
			const reason = this.hostPort.value.trim() === '' ? 'Enter the receiver\'s host:port to start' : 'Check the receiver\'s host:port';
			found.push({ element: 'srt-host-port', problem: destination.problem, reason });
		}
		if (this.listening()) {
			const callers = checkMaxCallers(this.maxCallers.value, limits);
			if (callers.problem)
				found.push({ element: 'srt-max-callers', problem: callers.problem, reason: 'Check how many receivers may call in' });
			const allowed = checkAllowedStreamIds(this.allowedStreamIds.value, limits);
			if (allowed.problem)
				found.push({ element: 'srt-allowed-stream-ids', problem: allowed.problem, reason: 'Check the allowed stream IDs' });
		} else {
			const streamId = checkStreamId(this.streamId.value, limits);
			if (streamId)
				found.push({ element: 'srt-stream-id', problem: streamId, reason: 'Check the stream ID' });
		}
		const latency = checkLatency(this.latency.value, limits);
		if (latency.problem)
			found.push({ element: 'srt-latency', problem: latency.problem, reason: 'Check the latency' });
		const passphrase = this.passphrase.value;
		if (passphrase !== '' && (passphrase.length < limits.srtPassphraseMinLength || passphrase.length > limits.srtPassphraseMaxLength)) {
			found.push({ element: 'srt-passphrase', reason: 'Check the passphrase',
				problem: `An SRT passphrase has ${limits.srtPassphraseMinLength} to ${limits.srtPassphraseMaxLength} characters; leave it empty for an unencrypted stream.` });
		}
		if (this.quadrants.every((quadrant) => quadrant.source.value === ''))
			found.push({ element: 'quadrant-1-source', problem: 'Choose an input for at least one quadrant.', reason: 'Choose an input to start' });
		return found;
	}

	// Why Start cannot go now: { reason, element }, or null.
	startProblem() {
		const [first] = this.problems();
		return first ? { reason: first.reason, element: first.element } : null;
	}

	// Each edited field says what is wrong with it, and is marked while it is.
	showProblems() {
		const problems = new Map(this.problems().map((found) => [found.element, found.problem]));
		for (const [id, error] of Object.entries(this.errors)) {
			const problem = this.touched.has(id) ? problems.get(id) : undefined;
			const field = this.document.getElementById(id);
			error.textContent = problem || '';
			error.hidden = !problem;
			if (problem)
				field.setAttribute('aria-invalid', 'true');
			else if (field.getAttribute('aria-invalid') === 'true')
				field.removeAttribute('aria-invalid');
		}
	}

	// The field of that id says what is wrong with it, and takes the focus.
	revealProblem(id) {
		const field = id ? this.document.getElementById(id) : null;
		if (!field)
			return;
		this.touched.add(id);
		this.showProblems();
		if (!field.disabled)
			field.focus();
	}

	// The stream start request from the form: { request, shared } with shared
	// the inputs used more than once, in words; or { problem, element } with
	// the id of the field to correct. The checked address replaces the one typed.
	buildStartRequest() {
		const encoding = this.encoding();
		this.takeApartSrtAddress();
		const [problem] = this.problems();
		if (problem)
			return { problem: problem.problem, element: problem.element };
		const quadrants = [];
		this.quadrants.forEach((quadrant, slot) => {
			if (quadrant.source.value !== '')
				quadrants.push({ id: slot + 1, name: this.quadrantName(slot), source_id: quadrant.source.value });
		});
		const limits = this.limits();
		const destination = checkDestination(this.hostPort.value, limits);
		const latency = checkLatency(this.latency.value, limits);
		const passphrase = this.passphrase.value;
		const shared = this.sharedInputs().map((slots) => {
			const input = this.inputTitle(slots[0]) || this.quadrants[slots[0]].source.value;
			return `${input} is in ${joinWords(slots.map((slot) => `Q${slot + 1}`))}`;
		});
		// A caller's request stays as it was before listeners existed.
		const allowed = checkAllowedStreamIds(this.allowedStreamIds.value, limits).ids || [];
		const connection = this.listening()
			? { srtMode: 'listener', srtMaxCallers: checkMaxCallers(this.maxCallers.value, limits).count,
				...(allowed.length > 0 ? { srtAllowedStreamIds: allowed } : {}) }
			: { srtStreamId: this.streamId.value.trim() };
		return {
			shared,
			request: {
				srtHostPort: destination.hostPort,
				...connection,
				srtPassphrase: passphrase,
				srtLatency: latency.latency,
				...(this.listening() ? {} : { srtReconnect: this.reconnect.checked }),
				videoBitrate: entryAt(encoding.videoBitrates || [], this.videoBitrate)?.value,
				adaptiveBitrate: this.adaptiveBitrate.checked,
				// Only when asked for, so that a request without it stays as it was.
				...(this.record.checked ? { record: true } : {}),
				audioBitrate: entryAt(encoding.audioBitrates || [], this.audioBitrate)?.value,
				audioChannels: this.chosenAudioChannels(),
				codec: entryAt(this.codecs, this.codec)?.value,
				quadrants,
			},
		};
	}

	// The start as sent: the field shows the checked address.
	showSent(startRequest) {
		this.hostPort.value = startRequest.srtHostPort;
	}
}
