# bash completion for velmerctl: its commands and their options, job states, time words,
# and the IDs of the jobs and queues the job manager holds. The IDs are asked of the job
# manager with velmerctl itself, on the bus that --address names if it is given, waiting
# at most 2 s, so that a bus that does not answer never holds up the shell.

_velmerctl_ids() {
  local kind
  for kind in "$@"; do
    timeout 2 velmerctl "${address[@]}" "$kind" 2>/dev/null | awk 'NR > 1 { print $1 }'
  done
}

_velmerctl() {
  local cur prev words cword
  # Addresses hold ':' and '=', which must not split a word.
  _init_completion -n =: || return

  local command="" kv="" positionals=0 i
  local -a address=()
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --address) address=(--address "${words[i + 1]}") && ((i++)) ;;
      --address=*) address=("${words[i]}") ;;
      --state | --percent | --status | --message | --message-id | --args | --start | --until) ((i++)) ;;
      -*) ;;
      *)
        if [[ -z $command ]]; then
          command=${words[i]}
        elif [[ $command == kv && -z $kv ]]; then
          kv=${words[i]}
        else
          ((positionals++))
        fi
        ;;
    esac
  done

  local offered=""
  case $prev in
    --address | --percent | --status | --message | --message-id | --args) return ;;
    --state) offered="new scheduling scheduled running finished reboot-pending ac-cycle-pending" ;;
    --start | --until) offered="TIME_NOW TIME_NA" ;;
    *)
      case $command in
        "") offered="status list queues show watch create update schedule delete clear-all kv --address --help --help-all" ;;
        list) offered="--state --json" ;;
        queues) offered="--json" ;;
        show) ((positionals > 0)) || offered=$(_velmerctl_ids list queues) ;;
        watch) offered=$(_velmerctl_ids list) ;;
        update)
          offered="--state --percent --status --message --message-id --args"
          ((positionals > 0)) || [[ $cur == -* ]] || offered=$(_velmerctl_ids list)
          ;;
        schedule | delete)
          offered="--start --until"
          [[ $command == delete ]] && offered="--force"
          [[ $cur == -* ]] || offered+=" $(_velmerctl_ids list)"
          ;;
        clear-all) offered="--force" ;;
        kv) if [[ -z $kv ]]; then offered="get set"; elif ((positionals == 0)); then offered=$(_velmerctl_ids list); fi ;;
      esac
      [[ -n $command && $cur == -* ]] && offered+=" --help"
      ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "$offered" -- "$cur")
}

complete -F _velmerctl velmerctl
