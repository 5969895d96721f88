// What the page keeps in the browser: the operator's choices (local storage,
// kept until changed; never the passphrase) and the page's own notes for the
// activity log (session storage: they outlive a reload of the tab, not the
// tab). A browser without storage (private mode, a full quota) still runs the
// page: it just forgets.
const CHOICES_KEY = 'tiloran.control.settings';
const NOTES_KEY = 'tiloran.control.notes';
const NOTES_LIMIT = 50;

// The stored choices as the form wrote them (see StreamForm.choices), or null.
export function loadChoices() {
	try {
		const stored = JSON.parse(localStorage.getItem(CHOICES_KEY) || 'null');
		return stored && typeof stored === 'object' ? stored : null;
	} catch (error) {
		return null;
	}
}

export function saveChoices(choices) {
	try {
		localStorage.setItem(CHOICES_KEY, JSON.stringify(choices));
	} catch (error) {
		// Not kept; the page goes on.
	}
}

// The notes of this tab, oldest first: [{ at, level, message }].
export function loadNotes() {
	try {
		const stored = JSON.parse(sessionStorage.getItem(NOTES_KEY) || '[]');
		return Array.isArray(stored) ? stored.filter((note) => note && typeof note.message === 'string') : [];
	} catch (error) {
		return [];
	}
}

// Adds a note and keeps the newest NOTES_LIMIT; returns the notes.
export function addNote(notes, note) {
	const kept = [...notes, note].slice(-NOTES_LIMIT);
	try {
		sessionStorage.setItem(NOTES_KEY, JSON.stringify(kept));
	} catch (error) {
		// Kept until a reload.
	}
	return kept;
}
