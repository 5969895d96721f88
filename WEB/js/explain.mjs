// What the server's and the worker's messages mean, in the operator's words.
// This is the only place that reads their English: the end of the last run
// (lastExit, with the run's events) and the server's refusal of a start.
// The link's state while a run goes on comes with codes (see view.mjs). Pure:
// no page, no clock.
import { EXAMPLE_DESTINATION, SOFTWARE_CODEC, SRT_LATENCY_MAX_MS, timeOfDay } from './format.mjs';

const HARDWARE_ENCODERS = { h264_qsv: 'Intel hardware encoder', h264_nvenc: 'NVIDIA hardware encoder' };

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

// The receiver of the last run as host:port: the one the page knows, else the run's own words.
function peerOf(stats, known, message) {
	if (known)
		return known;
	for (const event of runEvents(stats).reverse()) {
		const match = /^SRT (?:connection (?:attempt \d+ )?to|connected to) (\S+)/.exec(event.message);
		if (match)
			return match[1];
	}
	const match = /srt:\/\/([^?'"\s]+)/.exec(message);
	return match ? match[1] : '';
}

// Why the last run ended: { words, technical }. peer: the receiver as the page
// knows it ('' if not); codecs: the server's codec table, for the encoders' titles.
export function explainEnd(stats, { peer: knownPeer = '', codecs = [] } = {}) {
	const exit = stats.lastExit || {};
	const message = typeof exit.message === 'string' ? exit.message : `Worker exited with code ${exit.code}`;
	const events = runEvents(stats);
	const problems = events.filter((event) => event.level !== 'info');
	const technical = [
		message,
		...problems.slice(-6).map((event) => `${timeOfDay(new Date(event.at))}  ${event.message}`),
	].join('\n');
	const codecLabel = (name) => {
		const entry = codecs.find((codec) => codec.value === name);
		return entry ? entry.title : name;
	};
	const peer = peerOf(stats, knownPeer, message);
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

// The server's refusal of a start, in the operator's words, with the id of
// the field it concerns: { words, element } (element null for none).
export function explainRefusal(reason) {
	const rules = [
		[/srtHostPort/, 'srt-host-port', `Check the receiver's address: host:port with a port from 1 to 65535, for example ${EXAMPLE_DESTINATION}.`],
		[/srtLatency/, 'srt-latency', `Check the latency: a whole number of milliseconds from 0 to ${SRT_LATENCY_MAX_MS}.`],
		[/srtPassphrase/, 'srt-passphrase', 'An SRT passphrase has 10 to 79 characters; leave it empty for an unencrypted stream.'],
		[/srtStreamId/, 'srt-stream-id', 'Check the stream ID: at most 512 bytes, without control characters.'],
		[/codec/, 'codec', 'Choose a video encoder from the list.'],
		[/videoBitrate/, 'video-bitrate', 'Choose a video bitrate from the list.'],
		[/audioBitrate/, 'audio-bitrate', 'Choose an audio bitrate from the list.'],
		[/audioChannels/, 'audio-channels', 'Choose audio channels that the master input has: reload the page to see the channels the server offers now.'],
		[/device id/, 'quadrant-1-source', 'An input is no longer known to the server: reload the page to see the inputs it has now.'],
		[/item name/, 'quadrant-1-source', 'A quadrant name has at most 64 characters.'],
		[/quadrants|devices/, 'quadrant-1-source', 'Check the layout: each quadrant at most once, at most four inputs.'],
		[/already running/, null, 'A stream is already running, started from another client or page. Stop it first.'],
		[/Worker executable not found/, null, 'The media worker program is missing beside the server: the installation is incomplete.'],
		[/Failed to start Worker/, null, 'The server could not start the media worker.'],
		[/worker config/i, null, 'The server could not write the stream\'s settings to its disk.'],
	];
	const rule = rules.find(([pattern]) => pattern.test(reason));
	return rule ? { words: rule[2], element: rule[1] } : { words: 'The server did not accept the settings.', element: null };
}
