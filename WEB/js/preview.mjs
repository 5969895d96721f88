// The program preview: while a stream runs, the latest picture about once a
// second; when it stops, the last picture stays, marked as such, and while
// the server cannot be asked it is marked as not current.
import { readPreview } from './api.mjs';
import { timeOfDay } from './format.mjs';

const PREVIEW_INTERVAL_MS = 1000;

export class Preview {
	// isRunning(): whether a stream runs now, as the page last heard.
	constructor(document, isRunning) {
		const $ = (id) => document.getElementById(id);
		this.isRunning = isRunning;
		this.frame = $('preview-frame');
		this.image = $('preview-image');
		this.placeholder = $('preview-placeholder');
		this.badge = $('preview-badge');
		this.info = $('preview-info');
		this.timer = null;
		this.url = null;
		this.hasPicture = false;
		// The picture on screen came while the current run runs.
		this.current = false;
		// Why the picture is not current ('' when it may be).
		this.old = '';
	}

	// Called with every view: fetches while a stream runs. old: why the picture
	// shown is not current, '' when nothing says so (see viewState).
	follow(running, old = '') {
		this.old = old;
		if (running)
			this.start();
		else
			this.stop();
		this.mark();
	}

	start() {
		if (this.timer !== null)
			return;
		this.current = false;
		// A worker needs a moment for its first picture; asking at once only meets "none yet".
		this.timer = setTimeout(() => this.poll(), PREVIEW_INTERVAL_MS);
	}

	stop() {
		if (this.timer !== null) {
			clearTimeout(this.timer);
			this.timer = null;
		}
		this.current = false;
		if (!this.hasPicture)
			this.info.textContent = 'No picture';
	}

	// A picture that is not the run's latest says so.
	mark() {
		this.frame.dataset.old = this.old ? 'true' : 'false';
		this.badge.textContent = this.old || 'Last picture';
		this.badge.hidden = !this.hasPicture || (this.current && !this.old);
	}

	async poll() {
		await this.fetchOnce();
		if (this.timer !== null)
			this.timer = setTimeout(() => this.poll(), PREVIEW_INTERVAL_MS);
	}

	// The answer 503 means no picture exists yet; an unreachable server keeps
	// the picture (the statistics poll reports the server).
	async fetchOnce() {
		const answer = await readPreview();
		if (!answer.ok)
			return;
		if (answer.picture) {
			if (answer.picture.size > 0)
				await this.show(answer.picture);
		} else if (!this.hasPicture) {
			this.info.textContent = answer.status === 503 ? 'Waiting for the first picture' : `Preview unavailable (HTTP ${answer.status})`;
		}
	}

	async show(blob) {
		const url = URL.createObjectURL(blob);
		const probe = new Image();
		probe.src = url;
		try {
			await probe.decode();
		} catch (error) {
			// A picture the browser cannot decode is skipped; the last good one stays.
			URL.revokeObjectURL(url);
			return;
		}
		this.image.src = url;
		this.image.hidden = false;
		this.current = this.isRunning();
		this.mark();
		this.placeholder.hidden = true;
		this.frame.dataset.state = 'picture';
		if (this.url)
			URL.revokeObjectURL(this.url);
		this.url = url;
		this.hasPicture = true;
		this.info.textContent = `${probe.naturalWidth}×${probe.naturalHeight} · updated ${timeOfDay(new Date())}`;
	}
}
