// Reads a .pst store with pst-extractor (npm) and prints its outline: every folder below the
// root, depth first, as "name<TAB>messages<TAB>attachments<TAB>unread", the messages and
// attachments counted by walking them. Usage: node pst_extractor_outline.js FILE
'use strict';
const { PSTFile } = require('pst-extractor');

const out = [];
function walk(folder) {
  let messages = 0, attachments = 0;
  if (folder.contentCount > 0) {
    for (let m = folder.getNextChild(); m != null; m = folder.getNextChild()) {
      ++messages;
      attachments += m.numberOfAttachments;
    }
  }
  out.push([folder.displayName, messages, attachments, folder.unreadCount].join('\t'));
  if (folder.hasSubfolders) for (const child of folder.getSubFolders()) walk(child);
}
walk(new PSTFile(process.argv[2]).getRootFolder());
process.stdout.write(out.join('\n') + '\n');
