// Puts what the page shows on the page: the top bar, the message, the link
// and encoder figures, the meters, each input's signal, the activity log and
// the confirmation dialog. Only DOM work: what to show comes worked out
// (view.mjs).
import { splitTitle } from './format.mjs';

// The view's name of each figure and the id of its element on the page.
const FIGURES = {
	bitrate: 'figure-bitrate',
	rtt: 'figure-rtt',
	lost: 'figure-lost',
	retransmitted: 'figure-retransmitted',
	latency: 'figure-latency',
	outages: 'figure-outages',
	uptime: 'figure-uptime',
	fps: 'figure-fps',
	dropped: 'figure-dropped',
	delayP50: 'figure-delay-p50',
	delayP99: 'figure-delay-p99',
};

export class Renderer {
	// quadrants: the form's quadrant elements (signal line and tile label per slot).
	constructor(document, quadrants) {
		const $ = (id) => document.getElementById(id);
		this.document = document;
		this.quadrants = quadrants;
		this.logSignature = '';
		this.messageSignature = '';
		this.elements = {
			title: $('product-title'),
			version: $('product-version'),
			health: $('server-health'),
			healthText: $('server-health-text'),
			tally: $('stream-state'),
			tallyText: $('stream-state-text'),
			tallyDetail: $('stream-state-detail'),
			startButton: $('start-button'),
			startReason: $('start-reason'),
			stopButton: $('stop-button'),
			fieldsets: [$('layout-fieldset'), $('encoding-fieldset'), $('srt-fieldset')],
			meters: document.querySelector('.meters'),
			previewFrame: $('preview-frame'),
			healthPanel: $('health-panel'),
			healthNote: $('health-note'),
			figures: Object.fromEntries(Object.entries(FIGURES).map(([name, id]) => [name, { value: $(id), age: $(`${id}-age`) }])),
			sparkline: document.querySelector('#bitrate-sparkline polyline'),
			destinationsHeading: $('destinations-heading'),
			destinationList: $('destination-list'),
			metersChannels: $('meters-channels'),
			meterRows: [
				{ meter: $('meter-left'), values: $('meter-left-values') },
				{ meter: $('meter-right'), values: $('meter-right-values') },
			],
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
	}

	product(config) {
		const { name, version } = splitTitle(config.project && config.project.title ? config.project.title : '');
		if (name)
			this.elements.title.textContent = name;
		this.elements.version.textContent = version;
		this.elements.version.hidden = !version;
	}

	// A view from viewState.
	view(view) {
		const { elements } = this;
		elements.startButton.disabled = !view.controls.start;
		elements.stopButton.disabled = !view.controls.stop;
		elements.startReason.textContent = view.controls.startReason;
		elements.startReason.hidden = !view.controls.startReason;
		elements.startReason.dataset.field = view.controls.startReasonField || '';
		for (const fieldset of elements.fieldsets)
			fieldset.disabled = view.controls.locked;
		elements.tally.dataset.state = view.tally.key;
		elements.tallyText.textContent = view.tally.text;
		elements.tallyDetail.textContent = view.tally.detail;
		this.document.body.dataset.stream = view.tally.key;
		this.document.title = view.title;
		elements.previewFrame.dataset.live = view.preview.live ? 'true' : 'false';
		if (view.message.clear)
			this.clearMessage();
		if (view.message.show)
			this.showMessage(view.message.show);
		this.server(view.server);
		this.link(view.link);
		this.meters(view.meters);
		this.inputs(view.inputs);
		this.destinations(view.destinations);
	}

	destinations({ old, rows }) {
		const { destinationsHeading: heading, destinationList: list } = this.elements;
		heading.hidden = rows.length === 0;
		list.hidden = rows.length === 0;
		list.dataset.old = old ? 'true' : 'false';
		list.replaceChildren(...rows.map((row) => {
			const item = this.document.createElement('li');
			item.dataset.state = row.state;
			item.dataset.warn = row.warn ? 'true' : 'false';
			const label = this.document.createElement('span');
			label.className = 'destination-label';
			label.textContent = row.label;
			const peer = this.document.createElement('span');
			peer.className = 'destination-peer';
			peer.textContent = row.peer;
			const text = this.document.createElement('span');
			text.className = 'destination-state';
			text.textContent = row.text;
			item.append(label, peer, text);
			return item;
		}));
	}

	server(server) {
		this.elements.health.dataset.state = server.state;
		this.elements.healthText.textContent = server.text;
	}

	link(link) {
		const { elements } = this;
		elements.healthPanel.dataset.active = link.active ? 'true' : 'false';
		if (link.readAt === null)
			delete elements.healthPanel.dataset.readAt;
		else
			elements.healthPanel.dataset.readAt = new Date(link.readAt).toISOString();
		elements.healthPanel.dataset.old = link.old ? 'true' : 'false';
		elements.healthNote.textContent = link.note;
		for (const name of Object.keys(FIGURES)) {
			const { value: element, age } = elements.figures[name];
			const shown = link.figures[name];
			element.textContent = shown.text;
			if (shown.value === null)
				delete element.dataset.value;
			else
				element.dataset.value = String(shown.value);
			element.dataset.warn = shown.warn ? 'true' : 'false';
			element.dataset.old = shown.old ? 'true' : 'false';
			if (age)
				age.textContent = shown.age;
		}
		// Without a stream the last line stays; the panel is dimmed then.
		if (link.sparkline !== null)
			elements.sparkline.setAttribute('points', link.sparkline);
	}

	meters(meters) {
		this.elements.metersChannels.textContent = meters.channels;
		this.elements.meters.dataset.old = meters.old ? 'true' : 'false';
		this.elements.meterRows.forEach(({ meter, values }, channel) => {
			const shown = meters.list[channel];
			const rms = meter.querySelector('.meter-rms');
			meter.dataset.level = shown.peak !== null ? 'true' : 'false';
			rms.style.width = `${(shown.rmsShare * 100).toFixed(1)}%`;
			rms.style.setProperty('--meter-width', `${(100 / Math.max(shown.rmsShare, 0.001)).toFixed(1)}%`);
			meter.querySelector('.meter-peak').style.left = `calc(${(shown.peakShare * 100).toFixed(1)}% - 2px)`;
			meter.setAttribute('aria-valuenow', String(shown.valueNow));
			meter.setAttribute('aria-valuetext', shown.valueText);
			meter.title = shown.title;
			values.textContent = shown.text;
			if (shown.peak === null) {
				delete values.dataset.peak;
				delete values.dataset.rms;
			} else {
				values.dataset.peak = String(shown.peak);
				values.dataset.rms = String(shown.rms);
			}
		});
	}

	inputs(inputs) {
		this.quadrants.forEach((quadrant, slot) => {
			const { signal, words, badge, fps, old } = inputs[slot];
			quadrant.signal.textContent = words;
			quadrant.signal.dataset.signal = signal;
			quadrant.signal.dataset.fps = fps;
			quadrant.signal.dataset.old = old ? 'true' : 'false';
			quadrant.tileSignal.textContent = badge;
			quadrant.tileSignal.dataset.signal = signal;
			quadrant.tileSignal.dataset.old = old ? 'true' : 'false';
		});
	}

	// Lines from logLines; the list is rebuilt only when they changed.
	log(lines) {
		const signature = lines.map((line) => line.at + line.origin + line.message + line.explanation).join('\n');
		if (signature === this.logSignature)
			return;
		this.logSignature = signature;
		const items = lines.map((line) => {
			const item = this.document.createElement('li');
			item.dataset.kind = line.level;
			item.dataset.origin = line.origin;
			const time = this.document.createElement('time');
			time.dateTime = line.at;
			time.textContent = line.time;
			const origin = this.document.createElement('span');
			origin.className = 'activity-origin';
			origin.textContent = line.origin === 'page' ? 'Page' : 'Server';
			const words = this.document.createElement('span');
			words.textContent = line.message;
			// What the event means, for a pointer resting on it.
			if (line.explanation)
				words.title = line.explanation;
			item.append(time, origin, words);
			return item;
		});
		this.elements.activity.replaceChildren(...items);
	}

	// ---- The message ------------------------------------------------------------

	// kind: error, warning or info; what: the kind of message, so that a later
	// state only replaces the message it put up itself. The same message again
	// changes nothing (a screen reader does not hear it twice), and the
	// technical details stay open while the headline stays.
	showMessage({ kind, headline, detail = '', hint = '', technical = '', what = 'action' }) {
		const { elements } = this;
		const signature = JSON.stringify([kind, headline, detail, hint, technical, what]);
		if (!elements.message.hidden && signature === this.messageSignature)
			return;
		const sameHeadline = !elements.message.hidden && elements.messageHeadline.textContent === headline;
		this.messageSignature = signature;
		elements.message.dataset.kind = kind;
		elements.message.dataset.what = what;
		elements.messageHeadline.textContent = headline;
		elements.messageDetail.textContent = detail;
		elements.messageHint.textContent = hint;
		elements.messageTechnicalText.textContent = technical;
		elements.messageTechnical.hidden = !technical;
		if (!sameHeadline)
			elements.messageTechnical.open = false;
		elements.message.hidden = false;
	}

	// Takes the message down, and the marks on the fields it pointed at.
	clearMessage() {
		this.elements.message.hidden = true;
		this.elements.message.dataset.what = '';
		for (const marked of this.document.querySelectorAll('[aria-invalid="true"]'))
			marked.removeAttribute('aria-invalid');
	}

	// The kind of message up ('' for none).
	messageKind() {
		return this.elements.message.dataset.what || '';
	}

	// The field a message is about: marked, and focused where it can be.
	markField(id) {
		const field = id ? this.document.getElementById(id) : null;
		if (!field)
			return;
		field.setAttribute('aria-invalid', 'true');
		if (!field.disabled)
			field.focus();
	}

	// ---- The confirmation dialog ---------------------------------------------------

	// A question that needs a deliberate second action: the safe answer has the
	// focus, so Enter or Space right after the first press does not confirm.
	// Resolves to true for the accepting answer.
	confirm({ title, text, cancel, accept, kind }) {
		const { elements } = this;
		return new Promise((resolve) => {
			const dialog = elements.dialog;
			const returnFocus = this.document.activeElement;
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

	closeDialog() {
		if (this.elements.dialog.open)
			this.elements.dialog.close('cancel');
	}
}
