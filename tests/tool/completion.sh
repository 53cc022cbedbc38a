#!/bin/bash
# completion.sh BUILD_DIR: what the installed bash completion of docseal
# offers, with the cursor at ^ in each line.
scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT
DESTDIR="$scratch" cmake --install "$1" --prefix /usr >/dev/null || exit 1
source /usr/share/bash-completion/bash_completion || exit 1
source "$scratch/usr/share/bash-completion/completions/docseal" || exit 1
[[ $(complete -p docseal) == 'complete -F _docseal docseal' ]] || { echo "not registered"; exit 1; }
mkdir "$scratch/w" && cd "$scratch/w" && mkdir sub && touch a.xml b.enc c.txt 'my doc.xml' ./-x.xml
failed=0
# Words as bash makes them: split at blanks and around "=".
offers() {
    local before=${2%%^*} head
    COMP_LINE=$before${2#*^} COMP_POINT=${#before}
    read -ra COMP_WORDS <<<"${COMP_LINE//=/ = }"
    read -ra head <<<"${before//=/ = }"
    COMP_CWORD=${#head[@]} && [[ $before == *[^\ ] ]] && ((COMP_CWORD--))
    ((COMP_CWORD < ${#COMP_WORDS[@]})) || COMP_WORDS+=("")
    COMPREPLY=() && _docseal 2>/dev/null
    local got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|')
    [[ $got == "$1" ]] || { echo "docseal line '$2': offered '$got', not '$1'"; failed=1; }
}
offers '-x.xml|a.xml|b.enc|my doc.xml|sub'       'docseal ^'
offers 'b.enc|sub'                               'docseal ^ /decrypt'
offers '-x.xml|a.xml|my doc.xml|sub'             'docseal ^ /encrypt'
offers '--|--help|--output=|--version|-o'        'docseal -^'
offers '--|--output=|-o'                         'docseal --output out.enc -^'
offers '-x.xml'                                  'docseal -- -^'
offers '-x.xml|a.xml|b.enc|c.txt|my doc.xml|sub' 'docseal --output ^'
offers '-x.xml|a.xml|b.enc|c.txt|my doc.xml|sub' 'docseal --out=^ a.xml'
offers '/encrypt'                                'docseal a.xml ^'
offers '/decrypt'                                'docseal -o - b.enc /^'
offers '/decrypt|/encrypt'                       'docseal -o out -- - ^'
offers ''                                        'docseal a.xml /encrypt ^'
offers ''                                        'docseal --help ^'
exit $failed
