// The local alarm. The console counts each second that the alarm holds; the page plays one
// sound per count: the chosen wave file, or a 500 Hz tone of 300 ms. Browsers play sound
// only after the user touched the page, so the first click unlocks it; the alarm also
// shows in the page title and the group lamps, so it is never silent and unseen.
import { getBytes } from './api.js';
import { t } from './messages.js';

// The page's one sound output, shared by the alarm and Setup's "Sound Test".
class Sound {
  constructor() {
    this.context = null;
    this.playing = false;
  }

  // Makes the output (inside a user's touch a browser lets it start); null without audio.
  open() {
    if (!this.context) {
      const Context = window.AudioContext || window.webkitAudioContext;
      if (Context) this.context = new Context();
    }
    if (this.context && this.context.state === 'suspended') this.context.resume();
    return this.context;
  }

  get running() {
    return this.context !== null && this.context.state === 'running';
  }

  // A 500 Hz tone of 300 ms.
  beep() {
    const ctx = this.context;
    const osc = ctx.createOscillator();
    const gain = ctx.createGain();
    osc.type = 'square';
    osc.frequency.value = 500;
    gain.gain.value = 0.12;
    osc.connect(gain).connect(ctx.destination);
    osc.start();
    osc.stop(ctx.currentTime + 0.3);
  }

  // A wave file of a data route: fetched with the token and played from memory. A sound
  // still playing is not interrupted. Resolves false when the file could not be played.
  async playWave(url) {
    if (this.playing) return true;
    this.playing = true;
    const ctx = this.context;
    try {
      const buffer = await ctx.decodeAudioData(await getBytes(url));
      const source = ctx.createBufferSource();
      source.buffer = buffer;
      source.connect(ctx.destination);
      source.onended = () => {
        this.playing = false;
      };
      source.start();
      return true;
    } catch {
      this.playing = false;
      return false;
    }
  }
}

export const sound = new Sound();

export class Alarm {
  constructor() {
    this.lastCount = null;
    this.baseTitle = document.title;
    this.flash = false;
    const unlock = () => this.unlock();
    window.addEventListener('pointerdown', unlock, { capture: true });
    window.addEventListener('keydown', unlock, { capture: true });
  }

  unlock() {
    sound.open();
  }

  get unlocked() {
    return sound.running;
  }

  beep() {
    if (!this.unlocked) return false;
    sound.beep();
    return true;
  }

  playWave() {
    if (sound.playing) return true;
    if (!this.unlocked) return false;
    sound.playWave('/api/wave').then((played) => {
      if (!played) this.beep();
    });
    return true;
  }

  update(state) {
    const { count, active, wave } = state.alarm;
    if (this.lastCount !== null && count > this.lastCount && active) {
      if (wave) this.playWave();
      else this.beep();
      this.played = (this.played ?? 0) + 1;
    }
    this.lastCount = count;
    this.active = active;
    this.flash = active ? !this.flash : false;
    document.title = active
      ? `${this.flash ? '\u26a0 ' : '\u25cf '}${t('alarmTitle')} \u2014 ${this.baseTitle}`
      : this.baseTitle;
    document.body.classList.toggle('alarm', active);
  }
}
